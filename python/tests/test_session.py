"""Session and StepResult: the plain session of the step road."""

import unittest

import vostrel._core as core
from session_fixtures import (allocated_growth, config, lit, rec, rss_growth_kib, rule, setter,
                              transducer)


def fixture():
    """A slot set by "Set"; "Ask" emits an LLM request (with a "key" that
    this road ignores), two tool requests, a string request and two values
    that are no requests."""
    asks = [rec(type=lit("LlmRequest"), key=lit("ignored")),
            rec(type=lit("ToolRequest"), n=lit(1)),
            rec(type=lit("ToolRequest"), n=lit(2)),
            lit(7), rec(kind=lit("none")), lit("Ping")]
    defs = [setter(), transducer("requests", rules=[rule("Ask", asks)])]
    cfg = config(dispatch=[("LlmRequest", "LlmResponse"), ("ToolRequest", "ToolResult")],
                 outbound=[("ToolRequest", "guard")],
                 inbound=[("Ask", "topology_gate")],
                 defs=[("Set", "gate")])
    return defs, cfg


LOG = [("Set", {"v": "one"}), ("Ask", {}), ("ToolResult", {"key": "x"}), ("Set", {"v": [1, {}]}),
       ("Ask", {})]


def state_of(s):
    return (s.pending, s.get_state(), s.events_processed)


class SessionTest(unittest.TestCase):
    def setUp(self):
        self.defs, self.cfg = fixture()
        self.s = core.Session(self.defs, self.cfg)

    def test_new_session(self):
        self.assertEqual(state_of(self.s), ([], {"x": 0}, 0))
        self.assertTrue(self.s.is_quiescent)

    def test_step_result(self):
        r = self.s.step("Ask", {})
        self.assertIsInstance(r, core.StepResult)
        self.assertEqual(r.actions, [
            {"type": "Dispatch", "request": {"key": "ignored", "type": "LlmRequest"}},
            {"type": "CheckThenDispatch", "request": {"n": 1, "type": "ToolRequest"},
             "check_source": "guard"},
            {"type": "CheckThenDispatch", "request": {"n": 2, "type": "ToolRequest"},
             "check_source": "guard"},
            {"type": "Dispatch", "request": "Ping"},
        ])
        self.assertEqual([list(a) for a in r.actions[:2]],
                         [["type", "request"], ["type", "request", "check_source"]])
        self.assertEqual(r.dispatched, [a["request"] for a in r.actions])
        self.assertEqual(r.check_requests, ["guard", "guard"])
        # One step may record a type twice; the "key" entry plays no part.
        self.assertEqual(r.pending, ["LlmRequest", "ToolRequest", "ToolRequest", "Ping"])
        self.assertIsNone(r.inbound_check)  # topology rules do not count here
        self.assertEqual(self.s.pending, r.pending)
        self.assertFalse(self.s.is_quiescent)

        # Every type is pending now: nothing passes the gate.
        again = self.s.step("Ask", {})
        self.assertEqual((again.actions, again.dispatched, again.check_requests), ([], [], []))
        self.assertEqual(self.s.events_processed, 2)
        # A dispatch rule's result releases every copy of its type.
        self.s.step("ToolResult", {})
        self.assertEqual(self.s.pending, ["LlmRequest", "Ping"])
        # A result is a copy: later steps leave it as it was.
        self.assertEqual(r.pending, ["LlmRequest", "ToolRequest", "ToolRequest", "Ping"])

    def test_inbound_check_is_reported_and_the_event_folded(self):
        r = self.s.step(event_tag="Set", event_data={"v": "one"})
        self.assertEqual(r.inbound_check, "gate")
        self.assertEqual((r.actions, r.pending), ([], []))
        self.assertEqual(state_of(self.s), ([], {"x": "one"}, 1))

    def test_replay_and_resume(self):
        for tag, data in LOG:
            self.s.step(tag, data)
        whole = core.Session.replay(self.defs, self.cfg, LOG)
        self.assertEqual(state_of(whole), state_of(self.s))
        self.assertEqual(state_of(core.Session.replay(self.defs, self.cfg, [])), ([], {"x": 0}, 0))

        part = core.Session.replay(self.defs, self.cfg, LOG[:2])
        snap = part.snapshot()
        self.assertEqual((snap.pending, snap.event_count), (part.pending, 2))
        resumed = core.Session.resume(snap, self.cfg, self.defs, LOG[2:])
        self.assertEqual(state_of(resumed), state_of(self.s))
        same = core.Session.resume(snapshot=snap, config=self.cfg, transducers=[],
                                   remaining_events=[])
        self.assertEqual(state_of(same), state_of(part))
        # The resumed session steps with its own transducers.
        self.assertEqual(len(resumed.step("LlmResponse", {}).actions), 0)
        self.assertEqual(resumed.pending, ["Ping", "ToolRequest", "ToolRequest"])

    def test_argument_errors(self):
        s, cfg, defs = self.s, self.cfg, self.defs
        snap = s.snapshot()
        cases = [
            (lambda: core.Session(defs), TypeError,
             "Session.__new__() missing 1 required positional argument: 'config'"),
            (lambda: core.Session(defs, cfg, 1), TypeError,
             "Session.__new__() takes 2 positional arguments but 3 were given"),
            (lambda: core.Session(5, cfg), TypeError,
             "argument 'transducers': 'int' object is not an instance of 'Sequence'"),
            (lambda: core.Session(defs, "cfg"), TypeError,
             "argument 'config': 'str' object is not an instance of 'SessionConfig'"),
            (lambda: s.step(), TypeError,
             "Session.step() missing 2 required positional arguments: 'event_tag' and 'event_data'"),
            (lambda: s.step(1, None), TypeError,
             "argument 'event_tag': 'int' object is not an instance of 'str'"),
            (lambda: s.step("E", None), TypeError,
             "argument 'event_data': 'None' is not an instance of 'dict'"),
            (lambda: s.step("E", {"v": 2 ** 63}), OverflowError, None),
            (lambda: s.step("E", {1: 1}), TypeError, None),
            (lambda: s.step("E", {"v": float("nan")}), ValueError,
             "Vostrel values don't support floats"),
            # AgentSession.resume_from_snapshot's order is not this one.
            (lambda: core.Session.resume(defs, cfg, snap, []), TypeError,
             "argument 'snapshot': 'list' object is not an instance of 'Snapshot'"),
            (lambda: core.Session.resume(snap, cfg, defs, {}), TypeError,
             "argument 'remaining_events': 'dict' object is not an instance of 'list'"),
            (lambda: core.Session.replay(defs, cfg, [("E", {}), ("F", {"v": 0.5})]), ValueError,
             "Vostrel values don't support floats"),
            (lambda: core.Session.replay(defs, cfg, [(1, {})]), TypeError, None),
            (lambda: core.Session.replay(defs, cfg, [("E",)]), IndexError, None),
            (lambda: core.Session.replay(defs, cfg), TypeError,
             "Session.replay() missing 1 required positional argument: 'event_log'"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message, error=error):
                with self.assertRaises(error) as caught:
                    call()
                if message is not None:
                    self.assertEqual(str(caught.exception), message)
        with self.assertRaises(TypeError):
            s.snapshot(1)
        self.assertEqual(state_of(s), ([], {"x": 0}, 0))
        with self.assertRaises(AttributeError):
            s.step("Ask", {}).pending = []

    def test_signatures_and_docstrings(self):
        self.assertEqual(core.Session.__text_signature__, "(transducers, config)")
        signatures = {"step": "($self, event_tag, event_data)", "get_state": "($self)",
                      "snapshot": "($self)", "replay": "(transducers, config, event_log)",
                      "resume": "(snapshot, config, transducers, remaining_events)"}
        for name, sig in signatures.items():
            self.assertEqual(getattr(core.Session, name).__text_signature__, sig, name)
        self.assertEqual([n for n in vars(core.Session) if not n.startswith("__")],
                         ["step", "get_state", "snapshot", "replay", "resume",
                          "events_processed", "is_quiescent", "pending"])
        docs = {
            "actions": "Requests that passed the gate, as list of action dicts.\n"
                       "Each dict has \"type\" (\"Dispatch\" or \"CheckThenDispatch\"),\n"
                       "\"request\" (the value), and optionally \"check_source\".",
            "dispatched": "Backward compat: dispatched values "
                          "(all requests, both checked and unchecked).",
            "check_requests": "Check source IDs for requests that need approval.",
            "pending": "Pending request types after this step.",
            "inbound_check": "Inbound check source if this event was intercepted.",
        }
        self.assertEqual([n for n in vars(core.StepResult) if not n.startswith("__")], list(docs))
        for name, doc in docs.items():
            self.assertEqual(getattr(core.StepResult, name).__doc__, doc)

    def test_no_leaks(self):
        def cycle():
            s = core.Session(self.defs, self.cfg)
            r = s.step("Ask", {"data": [1, {"a": "b"}]})
            r.actions, r.dispatched, r.check_requests, r.pending, r.inbound_check
            s.step("Set", {"v": "x" * 100}).inbound_check
            s.get_state(), s.pending, s.is_quiescent, s.events_processed
            core.Session.resume(s.snapshot(), self.cfg, self.defs, LOG)
            core.Session.replay(self.defs, self.cfg, LOG)
            for bad in ({"v": 0.5}, {1: 2}, []):
                try:
                    s.step("E", bad)
                except (TypeError, ValueError):
                    pass
        self.assertLess(allocated_growth(cycle), 50)
        self.assertLess(rss_growth_kib(cycle, rounds=5000), 2048)


if __name__ == "__main__":
    unittest.main()
