"""Inputs found by the random caller that once hung or crashed the module."""

import unittest

import vostrel._core as core


@unittest.skipUnless(hasattr(core, "session_init"), "session_init not registered")
class SelfContainingValuesTest(unittest.TestCase):
    # Converting a list or dict that contains itself used to walk it forever,
    # growing without bound; it is refused, however deep the cycle closes.
    def test_refused_with_the_container_named(self):
        direct = []
        direct.append(direct)
        loop = {}
        loop["a"] = [1, {"b": loop}]
        inner = [0]
        inner.append([[inner]])
        cases = [(direct, "list"), ([loop], "dict"), ([inner], "list"), ([{"x": loop}], "dict")]
        for value, name in cases:
            with self.subTest(name=name):
                with self.assertRaises(ValueError) as e:
                    core.session_init(value)
                self.assertEqual(str(e.exception),
                                 "Cannot convert %s that contains itself to Vostrel Value" % name)

    def test_a_container_met_twice_side_by_side_converts(self):
        shared = [1]
        tag, data = core.session_init([shared, shared, {"a": shared, "b": shared}])
        self.assertEqual(tag, "SessionInit")
        self.assertEqual(data["context"], [[1], [1], {"a": [1], "b": [1]}])


if __name__ == "__main__":
    unittest.main()
