"""The definition functions: load_transducer, stdlib, validate, session_init."""

import gc
import json
import sys
import unittest

import vostrel._core as core

STDLIB_NAMES = ["messages", "blocks", "usage", "call_llm", "execute_tool", "summary"]


def transducer_json(name="t", rules=None, slots=None):
    if rules is None:
        rules = [{"on": "E", "guard": {"op": "Lit", "value": {"type": "Bool", "value": True}},
                  "updates": [], "emits": []}]
    return json.dumps({"name": name, "slots": slots or [], "rules": rules})


class SignatureTest(unittest.TestCase):
    def test_text_signatures_and_docstrings(self):
        cases = [
            (core.load_transducer, "(json)", None),
            (core.stdlib, "()", None),
            (core.validate, "(transducers)", None),
            (core.session_init, "(context)",
             "Stdlib helper: produce a SessionInit boot event as (tag, data_dict)."),
        ]
        for fn, signature, doc in cases:
            with self.subTest(fn=fn.__name__):
                self.assertEqual(fn.__text_signature__, signature)
                self.assertEqual(fn.__doc__, doc)

    def test_stdlib_takes_no_arguments(self):
        with self.assertRaises(TypeError):
            core.stdlib(1)

    def test_arity_and_keywords(self):
        cases = [
            (lambda: core.load_transducer(),
             "load_transducer() missing 1 required positional argument: 'json'"),
            (lambda: core.validate([], []),
             "validate() takes 1 positional arguments but 2 were given"),
            (lambda: core.session_init(context=[], other=1),
             "session_init() got an unexpected keyword argument 'other'"),
        ]
        for call, message in cases:
            with self.subTest(message=message), self.assertRaises(TypeError) as caught:
                call()
            self.assertEqual(str(caught.exception), message)
        self.assertEqual(core.load_transducer(json=transducer_json("k")).name, "k")
        self.assertEqual(core.validate(transducers=[]), [])
        self.assertEqual(core.session_init(context=[])[0], "SessionInit")


class LoadTransducerTest(unittest.TestCase):
    def test_reads_a_definition(self):
        t = core.load_transducer(transducer_json("greeter"))
        self.assertIsInstance(t, core.TransducerDef)
        self.assertEqual(t.name, "greeter")
        self.assertEqual(repr(t), "TransducerDef('greeter')")

    def test_reader_errors_are_value_errors_with_position(self):
        cases = [
            ('{"name":"x","slots":[]}', "missing field `rules` at line 1 column 23"),
            (transducer_json() + " x", "trailing characters at line 1 column %d"
             % (len(transducer_json()) + 2)),
            ("", "EOF while parsing a value at line 1 column 0"),
            ('{"name":"x","slots":[],"rules":[{"on":"E"}]}',
             "missing field `guard` at line 1 column 42"),
        ]
        for text, message in cases:
            with self.subTest(text=text), self.assertRaises(ValueError) as caught:
                core.load_transducer(text)
            self.assertEqual(caught.exception.args, (message,))

    def test_argument_must_be_str(self):
        for bad in (1, b"{}", None):
            with self.subTest(bad=bad), self.assertRaises(TypeError) as caught:
                core.load_transducer(bad)
            self.assertTrue(str(caught.exception).startswith("argument 'json': "))

    def test_macro_nodes_stay_unexpanded(self):
        # `not` is a standard macro; a loaded definition keeps the call as it is.
        rules = [{"on": "E",
                  "guard": {"op": "Macro", "name": "not",
                            "args": [{"op": "Lit", "value": {"type": "Bool", "value": False}}]},
                  "updates": [{"slot": "s", "expr": {"op": "Lit",
                                                     "value": {"type": "Int", "value": 1}}}],
                  "emits": []}]
        slots = [{"name": "s", "initial": {"type": "Int", "value": 0}}]
        t = core.load_transducer(transducer_json("m", rules, slots))
        self.assertEqual(t.name, "m")
        self.assertEqual(core.validate([t]), [])


class StdlibTest(unittest.TestCase):
    def test_six_definitions_in_order(self):
        defs = core.stdlib()
        self.assertIsInstance(defs, list)
        self.assertEqual([d.name for d in defs], STDLIB_NAMES)
        self.assertTrue(all(type(d) is core.TransducerDef for d in defs))

    def test_every_call_makes_new_objects(self):
        first, second = core.stdlib(), core.stdlib()
        self.assertIsNot(first, second)
        for a, b in zip(first, second):
            self.assertIsNot(a, b)
            self.assertEqual(repr(a), repr(b))

    def test_stdlib_validates_clean(self):
        self.assertEqual(core.validate(core.stdlib()), [])


class ValidateTest(unittest.TestCase):
    def test_problems_in_order_as_debug_texts(self):
        update = {"slot": "x", "expr": {"op": "Lit", "value": {"type": "Int", "value": 1}}}
        guard = {"op": "Lit", "value": {"type": "Bool", "value": True}}
        slot = [{"name": "s", "initial": {"type": "Int", "value": 0}}]
        empty = core.load_transducer(transducer_json("x", rules=[]))
        undeclared = core.load_transducer(transducer_json(
            "t", [{"on": "E", "guard": guard, "updates": [update], "emits": []}], slot))
        other = core.load_transducer(transducer_json('q"\n', slots=slot))
        self.assertEqual(core.validate([]), [])
        self.assertEqual(core.validate([empty]), ['EmptyTransducer { transducer: "x" }'])
        self.assertEqual(core.validate((empty, undeclared, other)), [
            'EmptyTransducer { transducer: "x" }',
            'UndeclaredSlot { transducer: "t", rule_on: "E", slot: "x" }',
            'SlotConflict { slot: "s", transducer_a: "t", transducer_b: "q\\"\\n" }',
        ])

    def test_argument_errors(self):
        for bad in ("abc", 5, [1], [core.stdlib()[0], "x"], None):
            with self.subTest(bad=bad), self.assertRaises(TypeError) as caught:
                core.validate(bad)
            self.assertTrue(str(caught.exception).startswith("argument 'transducers': "))


class SessionInitTest(unittest.TestCase):
    def test_boot_event(self):
        self.assertEqual(core.session_init([]), ("SessionInit", {"context": []}))
        context = [{"b": 1, "a": 2.0}, "hi", [True, None]]
        tag, data = core.session_init(context)
        self.assertEqual(tag, "SessionInit")
        self.assertEqual(data, {"context": [{"a": 2, "b": 1}, "hi", [True, None]]})
        converted = data["context"][0]
        self.assertEqual(list(converted), ["a", "b"])
        self.assertIs(type(converted["a"]), int)
        self.assertIsNot(data["context"], context)
        self.assertEqual(context[0], {"b": 1, "a": 2.0})

    def test_list_subclass_is_accepted(self):
        class Items(list):
            pass
        self.assertEqual(core.session_init(Items([1])), ("SessionInit", {"context": [1]}))

    def test_conversion_errors(self):
        cases = [
            ([1.5], ValueError, "Vostrel values don't support floats"),
            ([[float("nan")]], ValueError, "Vostrel values don't support floats"),
            ([{"k": object()}], ValueError, "Cannot convert object to Vostrel Value"),
            ([2 ** 63], OverflowError, None),
        ]
        for context, error, message in cases:
            with self.subTest(context=context), self.assertRaises(error) as caught:
                core.session_init(context)
            if message is not None:
                self.assertEqual(caught.exception.args, (message,))

    def test_argument_must_be_a_list(self):
        for bad in ((1,), None, "ab", {"a": 1}):
            with self.subTest(bad=bad), self.assertRaises(TypeError) as caught:
                core.session_init(bad)
            self.assertTrue(str(caught.exception).startswith("argument 'context': "))


class RepeatedCallsTest(unittest.TestCase):
    def test_calls_good_and_bad_leak_nothing(self):
        good = transducer_json("g")
        defs = core.stdlib()
        calls = [
            lambda: core.load_transducer(good), lambda: core.load_transducer("{"),
            lambda: core.load_transducer(1), lambda: core.load_transducer(),
            core.stdlib, lambda: core.validate(defs), lambda: core.validate("x"),
            lambda: core.validate([defs[0], 1]),
            lambda: core.session_init([{"a": [1, "x", None]}]), lambda: core.session_init([1.5]),
            lambda: core.session_init([[2 ** 70]]), lambda: core.session_init(()),
            lambda: core.session_init(context=[], extra=1),
        ]

        def run_all():
            for call in calls:
                try:
                    call()
                except (TypeError, ValueError, OverflowError):
                    pass

        for _ in range(20):
            run_all()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(300):
            run_all()
        gc.collect()
        self.assertLess(sys.getallocatedblocks() - before, 30)


if __name__ == "__main__":
    unittest.main()
