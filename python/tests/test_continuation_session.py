"""ContinuationSession and FoldResult: the one-shot road."""

import unittest

import vostrel._core as core
from session_fixtures import (allocated_growth, lit, rec, rss_growth_kib, rule, setter,
                              topology, transducer)


def fixture():
    asks = [rec(type=lit("ToolRequest"), n=lit(1)), lit("Ping"), lit(7), rec(kind=lit("none"))]
    defs = [setter(), transducer("requests", rules=[rule("Ask", asks)])]
    routing = topology(dispatch=[("ToolRequest", "ToolResult")],
                       outbound=[("ToolRequest", "guard")],
                       inbound=[("Ask", "ignored_here")])
    return defs, routing


COMPACT = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'


class ContinuationSessionTest(unittest.TestCase):
    def setUp(self):
        self.defs, self.routing = fixture()
        self.s = core.ContinuationSession(self.defs, self.routing)

    def test_fold_event_is_never_gated(self):
        self.assertEqual(self.s.get_state(), {"x": 0})
        expected = [
            {"type": "CheckThenDispatch", "request": {"n": 1, "type": "ToolRequest"},
             "check_source": "guard"},
            {"type": "Dispatch", "request": "Ping"},
        ]
        for _ in range(2):
            r = self.s.fold_event("Ask", {})
            self.assertIsInstance(r, core.FoldResult)
            self.assertEqual(r.actions, expected)
            self.assertEqual(list(r.actions[0]), ["type", "request", "check_source"])
            self.assertEqual(r.vm_env, {"x": 0})

        r = self.s.fold_event(event_tag="Set", event_data={"v": {"b": 1, "a": [True, None]}})
        self.assertEqual(r.actions, [])
        self.assertEqual(list(r.vm_env["x"]), ["a", "b"])
        self.assertEqual(self.s.get_state(), r.vm_env)
        # A result stays as it was made.
        self.s.fold_event("Set", {"v": 2})
        self.assertEqual(r.vm_env, {"x": {"a": [True, None], "b": 1}})
        self.assertEqual(self.s.fold_event("Unknown", {}).actions, [])
        self.assertEqual(self.s.get_state(), {"x": 2})

    def test_first_environment(self):
        empty = core.ContinuationSession([], COMPACT + " \n")
        r = empty.fold_event("Ask", {})
        self.assertEqual((r.actions, r.vm_env, empty.get_state()), ([], {}, {}))
        # A later declaration of a slot wins; no complaint about the repeat.
        twice = core.ContinuationSession([setter(), transducer("again", [("x", "later")])],
                                         topology())
        self.assertEqual(twice.get_state(), {"x": "later"})

    def test_errors(self):
        defs = self.defs
        cases = [
            (lambda: core.ContinuationSession(defs, "{}"), ValueError,
             "Invalid routing JSON: missing field `dispatch_rules` at line 1 column 2"),
            (lambda: core.ContinuationSession(defs, "[1"), ValueError,
             "Invalid routing JSON: invalid type: integer `1`, expected a sequence "
             "at line 1 column 2"),
            (lambda: core.ContinuationSession(defs, COMPACT + "\n x"), ValueError,
             "Invalid routing JSON: trailing characters at line 2 column 2"),
            (lambda: core.ContinuationSession(defs), TypeError,
             "ContinuationSession.__new__() missing 1 required positional argument: "
             "'topology_json'"),
            (lambda: core.ContinuationSession(defs, b"{}"), TypeError,
             "argument 'topology_json': 'bytes' object is not an instance of 'str'"),
            (lambda: core.ContinuationSession([defs[0], "t"], "{}"), TypeError,
             "argument 'transducers': 'str' object is not an instance of 'TransducerDef'"),
            (lambda: self.s.fold_event("Ask", {}, x=1), TypeError,
             "ContinuationSession.fold_event() got an unexpected keyword argument 'x'"),
            (lambda: self.s.fold_event(None, {}), TypeError,
             "argument 'event_tag': 'None' is not an instance of 'str'"),
            (lambda: self.s.fold_event("Set", ()), TypeError,
             "argument 'event_data': 'tuple' object is not an instance of 'dict'"),
            (lambda: self.s.fold_event("Set", {"v": {"w": {1, 2}}}), ValueError,
             "Cannot convert set to Vostrel Value"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)
        self.assertEqual(self.s.get_state(), {"x": 0})

    def test_signatures(self):
        cls = core.ContinuationSession
        self.assertEqual(cls.__text_signature__, "(transducers, topology_json)")
        self.assertEqual(cls.fold_event.__text_signature__, "($self, event_tag, event_data)")
        self.assertEqual(cls.get_state.__text_signature__, "($self)")
        self.assertEqual([n for n in vars(cls) if not n.startswith("__")],
                         ["fold_event", "get_state"])
        self.assertEqual([n for n in vars(core.FoldResult) if not n.startswith("__")],
                         ["vm_env", "actions"])

    def test_no_leaks(self):
        def cycle():
            s = core.ContinuationSession(self.defs, self.routing)
            r = s.fold_event("Ask", {"data": [1, {"a": "b"}]})
            r.actions, r.vm_env
            s.fold_event("Set", {"v": "x" * 100}).vm_env
            s.get_state()
            for bad in ({"v": 0.5}, [], {"v": (1,)}):
                try:
                    s.fold_event("E", bad)
                except (TypeError, ValueError):
                    pass
            try:
                core.ContinuationSession(self.defs, "{}")
            except ValueError:
                pass
        self.assertLess(allocated_growth(cycle), 50)
        self.assertLess(rss_growth_kib(cycle, rounds=5000), 2048)


if __name__ == "__main__":
    unittest.main()
