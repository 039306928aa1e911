"""The module frame: registration, class properties, texts of the frame."""

import unittest

import vostrel._core as core

# Every attribute the module registers, in registration order.
REGISTRATION_ORDER = [
    "load_transducer", "stdlib", "validate",
    "TransducerDef", "SessionConfig", "StepResult", "Session", "Snapshot",
    "ContinuationSession", "FoldResult", "Coordinator",
    "load_session_def", "validate_session_def", "validate_session_def_strict",
    "derive_topology", "derive_inbound_checks", "resolve_source",
    "AgentSession", "session_init", "NetworkSession",
]
CLASSES = {"TransducerDef", "SessionConfig", "StepResult", "Session", "Snapshot",
           "ContinuationSession", "FoldResult", "Coordinator", "AgentSession",
           "NetworkSession"}
NO_CONSTRUCTOR = {"Snapshot", "StepResult", "FoldResult", "TransducerDef"}


def registered():
    return [n for n in REGISTRATION_ORDER if hasattr(core, n)]


class ModuleTest(unittest.TestCase):
    def test_docstring_is_empty(self):
        self.assertEqual(core.__doc__, "")

    def test_attributes_in_registration_order(self):
        public = [n for n in vars(core) if not n.startswith("__")]
        self.assertEqual(public, registered())

    def test_only_standard_dunders_besides(self):
        dunders = {n for n in vars(core) if n.startswith("__")}
        self.assertEqual(dunders, {"__name__", "__doc__", "__package__", "__loader__",
                                   "__spec__", "__file__"})


class ClassPropertiesTest(unittest.TestCase):
    def classes(self):
        return [getattr(core, n) for n in registered() if n in CLASSES]

    def test_bare_names(self):
        for cls in self.classes():
            self.assertEqual(cls.__name__, cls.__qualname__)
            self.assertNotIn(".", cls.__name__)

    def test_not_subclassable(self):
        for cls in self.classes():
            with self.subTest(cls=cls.__name__), self.assertRaises(TypeError):
                type("Sub", (cls,), {})

    def test_no_constructor(self):
        for cls in self.classes():
            if cls.__name__ in NO_CONSTRUCTOR:
                with self.subTest(cls=cls.__name__):
                    with self.assertRaises(TypeError) as caught:
                        cls()
                    self.assertEqual(str(caught.exception),
                                     f"cannot create '{cls.__name__}' instances")
                    self.assertEqual(cls.__doc__, "")

    def test_no_instance_dict_or_weakref(self):
        for cls in self.classes():
            self.assertFalse(hasattr(cls, "__dict__") and "__dict__" in cls.__dict__)
            self.assertNotIn("__weakref__", cls.__dict__)
            self.assertEqual(cls.__base__, object)


if __name__ == "__main__":
    unittest.main()
