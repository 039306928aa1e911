"""Copies of the module: re-imports, sub-interpreters, and a quiet import."""

import importlib
import os
import subprocess
import sys
import threading
import unittest

import _interpreters

import vostrel
import vostrel._core as core

CLASSES = ["TransducerDef", "SessionConfig", "StepResult", "Session", "Snapshot",
           "ContinuationSession", "FoldResult", "Coordinator", "AgentSession", "NetworkSession"]
PACKAGE_DIR = os.path.dirname(os.path.dirname(vostrel.__file__))
TOPOLOGY = '{"dispatch_rules": [], "outbound_checks": [], "inbound_checks": []}'


def made_objects(module):
    """One object of each class that module functions and members make."""
    defs = module.stdlib()
    config = module.SessionConfig(TOPOLOGY)
    session = module.Session(defs, config)
    step = session.step("UserMessage", {"parts": ["hi"]})
    return {"TransducerDef": defs[0], "SessionConfig": config, "Session": session,
            "StepResult": step, "Snapshot": session.snapshot(),
            "Coordinator": module.Coordinator()}


class ReimportTest(unittest.TestCase):
    def setUp(self):
        self.addCleanup(sys.modules.__setitem__, "vostrel._core", sys.modules["vostrel._core"])

    def test_every_copy_names_the_same_classes(self):
        del sys.modules["vostrel._core"]
        second = importlib.import_module("vostrel._core")
        self.assertIsNot(second, core)
        for name in CLASSES:
            self.assertIs(getattr(second, name), getattr(core, name))
        for maker in (core, second):
            for name, obj in made_objects(maker).items():
                with self.subTest(maker=maker is core, cls=name):
                    self.assertIsInstance(obj, getattr(core, name))
                    self.assertIsInstance(obj, getattr(second, name))
        # A class argument made through one copy is taken by the other.
        config = core.SessionConfig(TOPOLOGY)
        self.assertEqual(second.Session(second.stdlib(), config).events_processed, 0)


# Run in a sub-interpreter: the module imports and works there with classes
# of its own (`main_ids` are the main interpreter's class ids).
SUBINTERPRETER_CODE = """
import sys
sys.path.insert(0, {path!r})
import vostrel._core as core
defs = core.stdlib()
assert type(defs[0]) is core.TransducerDef, type(defs[0])
assert core.TransducerDef.__module__ == "vostrel._core"
for name, main_id in {main_ids!r}.items():
    assert id(getattr(core, name)) != main_id, name + " is the main interpreter's class"
session = core.Session(defs, core.SessionConfig({topology!r}))
session.step("UserMessage", {{"parts": ["hi"]}})
assert isinstance(session.snapshot(), core.Snapshot)
assert session.events_processed == 1
"""


class SubinterpreterTest(unittest.TestCase):
    def test_each_interpreter_has_its_own_working_module(self):
        main_ids = {name: id(getattr(core, name)) for name in CLASSES}
        code = SUBINTERPRETER_CODE.format(path=PACKAGE_DIR, main_ids=main_ids, topology=TOPOLOGY)
        for config in ("legacy", "isolated"):
            with self.subTest(config=config):
                interp = _interpreters.create(_interpreters.new_config(config))
                try:
                    failure = _interpreters.exec(interp, code)
                finally:
                    _interpreters.destroy(interp)
                self.assertIsNone(failure, failure and failure.errdisplay)
                # Objects made here afterwards are still of this interpreter's classes.
                for name, obj in made_objects(core).items():
                    self.assertIs(type(obj), getattr(core, name))

    def test_interpreters_with_their_own_lock_run_at_once(self):
        code = SUBINTERPRETER_CODE.format(path=PACKAGE_DIR, main_ids={}, topology=TOPOLOGY)
        code += ("config = core.SessionConfig({!r})\n"
                 "for _ in range(500):\n"
                 "    core.Session(defs, config).step('UserMessage', {{'parts': ['hi']}})\n"
                 ).format(TOPOLOGY)
        interps = [_interpreters.create(_interpreters.new_config("isolated")) for _ in range(4)]
        failures = [None] * len(interps)

        def run(i):
            failures[i] = _interpreters.exec(interps[i], code)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(len(interps))]
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            for interp in interps:
                _interpreters.destroy(interp)
        self.assertEqual([f and f.errdisplay for f in failures], [None] * len(interps))


class QuietImportTest(unittest.TestCase):
    def run_python(self, *args, **env):
        environ = dict(os.environ, PYTHONPATH=PACKAGE_DIR, **env)
        return subprocess.run([sys.executable, *args], env=environ, capture_output=True, text=True,
                              timeout=60)

    def test_import_records_no_warning(self):
        recording = ("import warnings\n"
                     "with warnings.catch_warnings(record=True) as caught:\n"
                     "    warnings.simplefilter('always')\n"
                     "    import vostrel._core\n"
                     "print([str(w.message) for w in caught])\n")
        cases = [
            (["-W", "error", "-c", "import vostrel._core"], {}, ""),
            (["-c", "import vostrel._core"], {"PYTHONWARNINGS": "error"}, ""),
            (["-c", recording], {}, "[]\n"),
        ]
        for args, env, out in cases:
            with self.subTest(args=args, env=env):
                done = self.run_python(*args, **env)
                self.assertEqual((done.returncode, done.stderr, done.stdout), (0, "", out))

    def test_class_names_are_bare_and_the_module_is_named(self):
        for name in CLASSES:
            cls = getattr(core, name)
            with self.subTest(cls=name):
                self.assertEqual((cls.__name__, cls.__qualname__, cls.__module__),
                                 (name, name, "vostrel._core"))
                self.assertEqual(repr(cls), f"<class 'vostrel._core.{name}'>")
                with self.assertRaises(TypeError) as caught:
                    type("Sub", (cls,), {})
                self.assertEqual(str(caught.exception), f"type '{name}' is not an acceptable base type")
        with self.assertRaises(TypeError) as caught:
            core.Snapshot()
        self.assertEqual(str(caught.exception), "cannot create 'Snapshot' instances")


if __name__ == "__main__":
    unittest.main()
