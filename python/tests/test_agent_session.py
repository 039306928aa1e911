"""AgentSession: the live road as the host drives it."""

import json
import os
import pathlib
import subprocess
import sys
import unittest

import vostrel._core as core
from session_fixtures import (allocated_growth, config, lit, rec, ref, rss_growth_kib, rule,
                              setter, transducer)


def tool(n):
    return rec(type=lit("ToolRequest"), key=lit(f"ToolRequest:{n}"), n=lit(n))


def fixture():
    """A slot set by "Set", and "Ask" emitting two keyed tool requests and a
    bare string request."""
    defs = [setter(), transducer("requests", rules=[rule("Ask", [tool(1), tool(2), lit("Ping")])])]
    cfg = config(dispatch=[("Ping", "Pong"), ("ToolRequest", "ToolResult")],
                 outbound=[("ToolRequest", "guard")],
                 inbound=[("Set", "from_topology")],
                 defs=[("Set", "from_defs"), ("Other", "other_gate")])
    return defs, cfg


class Dict(dict):
    pass


class AgentSessionTest(unittest.TestCase):
    def setUp(self):
        self.defs, self.cfg = fixture()
        self.s = core.AgentSession(self.defs, self.cfg)

    def assertUntouched(self, s, log, count, pending, state):
        self.assertEqual((s.event_log, s.events_processed, s.pending, s.get_state()),
                         (log, count, pending, state))

    def test_new_session(self):
        self.assertUntouched(self.s, [], 0, [], {"x": 0})
        self.assertTrue(self.s.is_idle)
        empty = core.AgentSession((), self.cfg)
        self.assertEqual(empty.get_state(), {})
        self.assertEqual(empty.fold_event("Ask", {}), {"requests": []})
        self.assertUntouched(empty, ["Ask"], 1, [], {})

    def test_fold_event_requests_and_gating(self):
        result = self.s.fold_event("Ask", {})
        self.assertEqual(result, {"requests": [
            {"action": "CheckThenDispatch", "check_source": "guard",
             "request": {"key": "ToolRequest:1", "n": 1, "type": "ToolRequest"}},
            {"action": "CheckThenDispatch", "check_source": "guard",
             "request": {"key": "ToolRequest:2", "n": 2, "type": "ToolRequest"}},
            # A request that is not a map carries no payload.
            {"action": "Dispatch", "request": {}},
        ]})
        self.assertEqual([list(r) for r in result["requests"]],
                         [["action", "check_source", "request"]] * 2 + [["action", "request"]])
        self.assertEqual(list(result["requests"][0]["request"]), ["key", "n", "type"])
        self.assertEqual(self.s.pending, ["ToolRequest:1", "ToolRequest:2", "Ping"])
        self.assertFalse(self.s.is_idle)

        # Everything is pending: the same event gives nothing, but is counted.
        self.assertEqual(self.s.fold_event("Ask", {}), {"requests": []})
        # An explicit key releases that key; a dispatch rule releases its type.
        self.s.fold_event("ToolResult", Dict(key="ToolRequest:2"))
        self.s.fold_event("Pong", {})
        self.assertUntouched(self.s, ["Ask", "Ask", "ToolResult", "Pong"], 4,
                             ["ToolRequest:1"], {"x": 0})
        self.assertEqual(len(self.s.fold_event("Ask", {})["requests"]), 2)

    def test_check_inbound(self):
        self.assertEqual(self.s.check_inbound("Set"),
                         {"event_tag": "Set", "check_source": "from_topology"})
        self.assertEqual(list(self.s.check_inbound("Set")), ["event_tag", "check_source"])
        self.assertEqual(self.s.check_inbound(event_tag="Other"),
                         {"event_tag": "Other", "check_source": "other_gate"})
        self.assertIsNone(self.s.check_inbound("Ask"))
        self.assertUntouched(self.s, [], 0, [], {"x": 0})
        # Without asking, a checked event folds as if approved.
        self.s.fold_event("Set", {"v": "one"})
        self.assertUntouched(self.s, ["Set"], 1, [], {"x": "one"})

    def test_skip_cancel_and_boot(self):
        self.assertIsNone(self.s.boot("Ask", {}))
        self.s.skip_inbound("Set")
        self.s.skip_inbound("Unknown")
        pending = ["ToolRequest:1", "ToolRequest:2", "Ping"]
        self.assertUntouched(self.s, ["Ask", "Set:rejected", "Unknown:rejected"], 3, pending,
                             {"x": 0})
        self.assertIsNone(self.s.cancel_request("ToolRequest"))  # not a key: no-op
        self.s.cancel_request("ToolRequest:1")
        self.s.cancel_request("Ping")
        self.assertEqual(self.s.pending, ["ToolRequest:2"])
        self.s.cancel_request(request_type="ToolRequest:2")
        self.assertTrue(self.s.is_idle)
        self.assertEqual(self.s.events_processed, 3)

    def test_resume_rebuilds_on_the_step_road(self):
        log = [("Ask", {}), ("Set", {"v": "one"}, "ignored")]
        s = core.AgentSession.resume(self.defs, self.cfg, log)
        # The step road keys by type, so both tool requests record one type.
        self.assertUntouched(s, ["Ask", "Set"], 2, ["ToolRequest", "ToolRequest", "Ping"],
                             {"x": "one"})
        s.cancel_request("ToolRequest")
        self.assertEqual(s.pending, ["Ping"])
        # The live routing is in place, inbound definitions included.
        self.assertEqual(s.check_inbound("Other")["check_source"], "other_gate")

        fresh = core.AgentSession.resume(self.defs, self.cfg, [])
        self.assertUntouched(fresh, [], 0, [], {"x": 0})

    def test_snapshot_and_resume_from_it(self):
        self.s.fold_event("Set", {"v": 5})
        self.s.fold_event("Ask", {})
        snap = self.s.snapshot()
        self.assertIsInstance(snap, core.Snapshot)
        self.assertEqual((snap.pending, snap.event_count),
                         (["ToolRequest:1", "ToolRequest:2", "Ping"], 2))

        s = core.AgentSession.resume_from_snapshot(
            self.defs, self.cfg, snap, remaining_events=[("Pong", {}), ("Set", {"v": 6})])
        self.assertUntouched(s, ["Pong", "Set"], 4, ["ToolRequest:1", "ToolRequest:2"], {"x": 6})
        # The snapshot is a copy: the sessions go on independently.
        self.assertEqual(self.s.get_state(), {"x": 5})

    def test_argument_errors(self):
        s, cfg, defs = self.s, self.cfg, self.defs
        cases = [
            (lambda: core.AgentSession(), TypeError,
             "AgentSession.__new__() missing 2 required positional arguments: "
             "'transducers' and 'config'"),
            (lambda: core.AgentSession("ab", cfg), TypeError,
             "argument 'transducers': Can't extract `str` to `Vec`"),
            (lambda: core.AgentSession([1], cfg), TypeError,
             "argument 'transducers': 'int' object is not an instance of 'TransducerDef'"),
            (lambda: core.AgentSession(defs, None), TypeError,
             "argument 'config': 'None' is not an instance of 'SessionConfig'"),
            (lambda: s.fold_event("E"), TypeError,
             "AgentSession.fold_event() missing 1 required positional argument: 'event_data'"),
            (lambda: s.fold_event("E", {}, 1), TypeError,
             "AgentSession.fold_event() takes 2 positional arguments but 3 were given"),
            (lambda: s.boot("E", {}, event_tag="E"), TypeError,
             "AgentSession.boot() got multiple values for argument 'event_tag'"),
            (lambda: s.fold_event(1, []), TypeError,
             "argument 'event_tag': 'int' object is not an instance of 'str'"),
            (lambda: s.fold_event("E", []), TypeError,
             "argument 'event_data': 'list' object is not an instance of 'dict'"),
            (lambda: s.fold_event("E", {"v": 0.5}), ValueError,
             "Vostrel values don't support floats"),
            (lambda: s.boot("E", {"v": (1,)}), ValueError, "Cannot convert tuple to Vostrel Value"),
            (lambda: s.check_inbound(tag="E"), TypeError,
             "AgentSession.check_inbound() got an unexpected keyword argument 'tag'"),
            (lambda: s.skip_inbound(None), TypeError,
             "argument 'event_tag': 'None' is not an instance of 'str'"),
            (lambda: s.cancel_request(b"x"), TypeError,
             "argument 'request_type': 'bytes' object is not an instance of 'str'"),
            (lambda: core.AgentSession.resume(defs, cfg, ()), TypeError,
             "argument 'event_log': 'tuple' object is not an instance of 'list'"),
            (lambda: core.AgentSession.resume(defs, cfg, [["E", {}]]), TypeError,
             "'list' object cannot be converted to 'PyTuple'"),
            (lambda: core.AgentSession.resume_from_snapshot(defs, cfg, "snap", []), TypeError,
             "argument 'snapshot': 'str' object is not an instance of 'Snapshot'"),
            (lambda: core.AgentSession.resume_from_snapshot(defs, cfg, s.snapshot(), [("E", [])]),
             TypeError, "'list' object cannot be converted to 'PyDict'"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(error) as caught:
                    call()
                self.assertEqual(str(caught.exception), message)
        with self.assertRaises(IndexError):
            core.AgentSession.resume(defs, cfg, [("E", {}), ("F",)])
        with self.assertRaises(TypeError):
            s.get_state(1)
        with self.assertRaises(AttributeError):
            s.pending = []
        self.assertUntouched(s, [], 0, [], {"x": 0})

    def test_signatures_and_docstrings(self):
        cls = core.AgentSession
        self.assertEqual(cls.__text_signature__, "(transducers, config)")
        signatures = {
            "resume": "(transducers, config, event_log)",
            "resume_from_snapshot": "(transducers, config, snapshot, remaining_events)",
            "snapshot": "($self)", "get_state": "($self)",
            "check_inbound": "($self, event_tag)",
            "fold_event": "($self, event_tag, event_data)",
            "boot": "($self, event_tag, event_data)",
            "cancel_request": "($self, request_type)",
            "skip_inbound": "($self, event_tag)",
        }
        for name, sig in signatures.items():
            self.assertEqual(getattr(cls, name).__text_signature__, sig, name)
        self.assertEqual(cls.fold_event.__doc__,
                         "Fold one event: clear_pending \u2192 fold \u2192 gate \u2192 classify "
                         "\u2192 add_pending.\n"
                         "Returns {\"requests\": [...]} where each request is a dict with\n"
                         "\"action\" = \"Dispatch\" or \"CheckThenDispatch\".")
        self.assertEqual(cls.check_inbound.__doc__,
                         "Does this event need an inbound check before folding?\n"
                         "Returns {\"event_tag\": str, \"check_source\": str} or None.")
        self.assertEqual(cls.boot.__doc__,
                         "Process a boot event (SessionInit, etc). Runs fold, ignores requests.")
        self.assertEqual(cls.cancel_request.__doc__,
                         "Cancel a request rejected by an outbound check.")
        self.assertEqual(cls.skip_inbound.__doc__,
                         "Record that an inbound-checked event was rejected.")
        self.assertIsNone(cls.resume.__doc__)
        self.assertEqual([n for n in vars(cls) if not n.startswith("__")],
                         ["resume", "resume_from_snapshot", "snapshot", "get_state",
                          "check_inbound", "fold_event", "boot", "cancel_request",
                          "skip_inbound", "is_idle", "event_log", "events_processed", "pending"])

    def test_no_leaks(self):
        def cycle():
            s = core.AgentSession(self.defs, self.cfg)
            s.fold_event("Ask", {"data": [1, {"a": "b"}]})
            s.fold_event("Set", {"v": "x" * 100})
            s.skip_inbound("Set")
            s.check_inbound("Set")
            s.cancel_request("Ping")
            s.get_state(), s.pending, s.event_log, s.is_idle, s.events_processed
            s.snapshot().pending
            core.AgentSession.resume(self.defs, self.cfg, [("Ask", {}), ("Set", {"v": 1})])
            try:
                s.fold_event("E", {"v": 0.5})
            except ValueError:
                pass
        self.assertLess(allocated_growth(cycle), 50)
        self.assertLess(rss_growth_kib(cycle, rounds=5000), 2048)


class StandardLibraryProtocolTest(unittest.TestCase):
    """The host protocol over the standard transducers: a user message, a
    model turn with two tool calls (one refused by the outbound check), the
    tool results and the final answer."""

    def test_conversation(self):
        cfg = config(dispatch=[("LlmRequest", "LlmResponse"), ("ToolRequest", "ToolResult")],
                     outbound=[("ToolRequest", "policy")], defs=[("UserMessage", "filter")])
        s = core.AgentSession(core.stdlib(), cfg)
        self.assertIsNone(s.boot(*core.session_init([])))
        self.assertEqual(s.check_inbound("UserMessage"),
                         {"event_tag": "UserMessage", "check_source": "filter"})
        s.skip_inbound("UserMessage")

        (llm,) = s.fold_event("UserMessage", {"parts": ["hi"]})["requests"]
        self.assertEqual(llm, {"action": "Dispatch", "request": {
            "context": [{"parts": ["hi"], "role": "user", "tool_calls": []}],
            "type": "LlmRequest"}})
        calls = [{"id": i, "name": n, "arguments": "{}"} for i, n in (("c1", "ls"), ("c2", "rm"))]
        tools = s.fold_event("LlmResponse", {"role": "assistant", "parts": ["x"],
                                             "tool_calls": calls})["requests"]
        self.assertEqual([(t["action"], t["check_source"], t["request"]["key"]) for t in tools],
                         [("CheckThenDispatch", "policy", "ToolRequest:c1"),
                          ("CheckThenDispatch", "policy", "ToolRequest:c2")])
        self.assertEqual(s.pending, ["ToolRequest:c1", "ToolRequest:c2"])

        # The policy refuses "rm": the host cancels it and reports an error.
        s.cancel_request("ToolRequest:c2")
        self.assertEqual(s.pending, ["ToolRequest:c1"])
        result = {"tool_call_id": "c1", "name": "ls", "content": "a b", "is_error": False}
        self.assertEqual(s.fold_event("ToolResult", dict(result, key="ToolRequest:c1")),
                         {"requests": []})
        refused = {"tool_call_id": "c2", "name": "rm", "content": "refused", "is_error": True}
        (again,) = s.fold_event("ToolResult", refused)["requests"]
        self.assertEqual([m["role"] for m in again["request"]["context"]],
                         ["user", "assistant", "tool", "tool"])
        s.fold_event("LlmResponse", {"role": "assistant", "parts": ["done"], "tool_calls": [],
                                     "input_tokens": 7, "output_tokens": 3})
        self.assertTrue(s.is_idle)
        self.assertEqual(s.event_log, ["SessionInit", "UserMessage:rejected", "UserMessage",
                                       "LlmResponse", "ToolResult", "ToolResult", "LlmResponse"])
        state = s.get_state()
        self.assertEqual((state["input_tokens"], state["output_tokens"], state["pending_tools"]),
                         (7, 3, 0))

        snap = core.Snapshot.from_msgpack(s.snapshot().to_msgpack())
        resumed = core.AgentSession.resume_from_snapshot(core.stdlib(), cfg, snap, [])
        self.assertEqual((resumed.get_state(), resumed.pending, resumed.events_processed),
                         (state, [], 7))
        self.assertEqual(json.loads(snap.to_json())["event_count"], 7)


class ExampleHostTest(unittest.TestCase):
    def test_runs_to_the_end(self):
        source = pathlib.Path(os.environ.get("VOSTREL_SOURCE_DIR",
                                             pathlib.Path(__file__).resolve().parents[2]))
        done = subprocess.run([sys.executable, str(source / "examples" / "agent_host.py")],
                              capture_output=True, text=True, timeout=60, env=os.environ.copy())
        self.assertEqual(done.returncode, 0, done.stderr)
        out = done.stdout
        lines = out.splitlines()
        self.assertIn("   inbound check input_filter: rejected", lines)
        # The refused tool call is not cancelled: its key stays pending until its error result
        # is folded, and with that last result in, the model is asked again with the whole turn.
        refused = lines.index("      outbound check tool_policy: rejected")
        self.assertIn('"name": "book_table"', lines[refused - 1])
        self.assertEqual(lines[refused + 1],
                         '      answered with an error result: '
                         '"refused by tool_policy: not an allowed tool"')
        self.assertEqual(lines[refused + 2], "   pending: ['ToolRequest:call_1', "
                                             "'ToolRequest:call_2', 'ToolRequest:call_3']")
        last_result = next(i for i, line in enumerate(lines)
                           if line.startswith('-> ToolResult {"key": "ToolRequest:call_3"'))
        self.assertEqual(lines[last_result + 1:last_result + 3],
                         ['   <- Dispatch {"context": "<5 messages>", "type": "LlmRequest"}',
                          "   pending: ['LlmRequest']"])
        ending = lines[lines.index("last message: assistant"):]
        self.assertEqual(ending[:4], [
            "last message: assistant",
            "final answer: In Lisbon: Lisbon is sunny, 24 C; it is 14:05 in Lisbon. "
            "I could not run book_table (refused by tool_policy: not an allowed tool).",
            "events: ['SessionInit', 'UserMessage:rejected', 'UserMessage', 'LlmResponse', "
            "'ToolResult', 'ToolResult', 'ToolResult', 'LlmResponse']",
            "idle: True; tokens in/out: 260/30; messages: 6",
        ])
        self.assertEqual(lines[-1], "resumed session holds the same state: True")


if __name__ == "__main__":
    unittest.main()
