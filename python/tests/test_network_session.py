"""Class NetworkSession: construction, the event-type table, fold results,
the readers, and a whole network run cross-checked on a bare Coordinator."""

import unittest

import vostrel._core as core
from coordination_support import growth_in_blocks, growth_in_rss_kib
from test_frame import MEMBERS as CLASS_MEMBERS


# Event types and the keys they read, in reading order.
EVENT_KEYS = {
    "UserMessage": [],
    "RegisterAgent": ["agent"],
    "StartAgent": ["agent"],
    "AgentDone": ["agent"],
    "ResetAgent": ["agent"],
    "DelegationRequested": ["parent", "child"],
    "DelegationComplete": ["parent", "child"],
    "DelegationFailed": ["parent", "child"],
    "HandoffRequested": ["src", "dst"],
    "HandoffComplete": ["src", "dst"],
    "AgentFailed": ["agent"],
}

NO_REQUESTS = {"requests": [], "error": None}


def run(agent):
    return {"requests": [{"type": "AgentRequest", "agent": agent}], "error": None}


def network(entry="e", delegation=(), handoff=(("e", "t"),)):
    return core.NetworkSession(["e", "h", "t"], list(delegation), list(handoff), entry)


def view(n, ids=("e", "h", "t", "x", "w")):
    return ({i: n.session(i) for i in ids}, n.delegation_graph(), n.active_agent)


class ClassTest(unittest.TestCase):
    def test_members_signatures_docstrings(self):
        cls = core.NetworkSession
        methods = [(name, getattr(cls, name).__text_signature__, getattr(cls, name).__doc__)
                   for name in vars(cls)
                   if not name.startswith("__") and name != "active_agent"]
        self.assertEqual(methods, CLASS_MEMBERS["NetworkSession"][1])
        self.assertEqual(cls.__text_signature__,
                         "(agents, delegation_routes, handoff_routes, entry_point)")
        self.assertIsInstance(vars(cls)["active_agent"], type(core.NetworkSession.active_agent))
        with self.assertRaises(AttributeError):
            network().active_agent = "x"


class ConstructorTest(unittest.TestCase):
    def test_boot(self):
        n = network()
        self.assertEqual(n.active_agent, "e")
        self.assertEqual(n.agent_status("e"), "idle")
        self.assertEqual(n.agent_status("t"), "idle")
        self.assertIsNone(n.agent_status("h"))
        self.assertEqual(n.delegation_graph(), [])

    def test_boot_without_entry_point(self):
        n = core.NetworkSession([], [("a", "c")], [("a", "b")], "")
        self.assertEqual(n.active_agent, "")
        self.assertEqual([n.agent_status(i) for i in "abc"], ["idle", "idle", None])
        self.assertEqual(n.fold_event("UserMessage", {}), NO_REQUESTS)
        self.assertEqual(n.agent_status("a"), "idle")
        # The route to c was skipped at boot: once c exists, a cannot
        # delegate to it, although c is still asked to run.
        n.fold_event("StartAgent", {"agent": "a"})
        n.fold_event("RegisterAgent", {"agent": "c"})
        self.assertEqual(n.fold_event("DelegationRequested", {"parent": "a", "child": "c"}),
                         run("c"))
        self.assertEqual((n.agent_status("a"), n.agent_status("c")), ("processing", "idle"))
        self.assertEqual(n.delegation_graph(), [])

    def test_accepted_argument_forms(self):
        class Pair(tuple):
            pass

        n = core.NetworkSession(agents=("a", "b"), delegation_routes=(),
                                handoff_routes=[Pair(("a", "b"))], entry_point="a")
        self.assertEqual(n.active_agent, "a")
        self.assertEqual(n.agent_status("b"), "idle")

    def test_argument_failures(self):
        cases = [
            (("ab", [], [], ""), TypeError, "argument 'agents': Can't extract `str` to `Vec`"),
            ((["a"], "ab", [], ""), TypeError,
             "argument 'delegation_routes': Can't extract `str` to `Vec`"),
            ((["a"], [], "ab", ""), TypeError,
             "argument 'handoff_routes': Can't extract `str` to `Vec`"),
            ((5, [], [], ""), TypeError,
             "argument 'agents': 'int' object is not an instance of 'Sequence'"),
            (([1], [], [], ""), TypeError,
             "argument 'agents': 'int' object is not an instance of 'str'"),
            (([], [["a", "b"]], [], ""), TypeError,
             "argument 'delegation_routes': 'list' object is not an instance of 'tuple'"),
            (([], [], [("a", 1)], ""), TypeError,
             "argument 'handoff_routes': 'int' object is not an instance of 'str'"),
            (([], [("a", "b", "c")], [], ""), ValueError,
             "expected tuple of length 2, but got tuple of length 3"),
            (([], [], [("a",)], ""), ValueError,
             "expected tuple of length 2, but got tuple of length 1"),
            (([], [], [], None), TypeError,
             "argument 'entry_point': 'None' is not an instance of 'str'"),
            (([], [], []), TypeError,
             "NetworkSession.__new__() missing 1 required positional argument: 'entry_point'"),
            (([1], [("a", "b", "c")], [], ""), TypeError,
             "argument 'agents': 'int' object is not an instance of 'str'"),
        ]
        for args, exc_type, message in cases:
            with self.subTest(message), self.assertRaises(exc_type) as caught:
                core.NetworkSession(*args)
            self.assertEqual(str(caught.exception), message)

    def test_boot_failure_raises_network_error_text(self):
        for handoff in ([("a", "a")], [("a", "b"), ("c", "c")]):
            with self.subTest(handoff=handoff), self.assertRaises(ValueError) as caught:
                core.NetworkSession([], [], handoff, "e")
            self.assertEqual(caught.exception.args, ("coordinator: cannot reference self",))
        # A self delegation route is skipped, not refused.
        self.assertEqual(core.NetworkSession([], [("e", "e")], [], "e").agent_status("e"), "idle")


class FoldEventTest(unittest.TestCase):
    def test_result_dict_shape(self):
        n = network()
        n.fold_event("UserMessage", {})
        result = n.fold_event("DelegationRequested", {"parent": "e", "child": "h"})
        self.assertEqual(list(result), ["requests", "error"])
        self.assertIsNone(result["error"])
        self.assertEqual(list(result["requests"][0].items()),
                         [("type", "AgentRequest"), ("agent", "h")])

    def test_user_message_reads_nothing(self):
        n = network()
        self.assertEqual(n.fold_event("UserMessage", {}), NO_REQUESTS)
        self.assertEqual(n.agent_status("e"), "processing")

    def test_unknown_event_types(self):
        n = network()
        for name in ["userMessage", "Unknown", "", " UserMessage", "AgentDone:e"]:
            with self.subTest(name=name), self.assertRaises(ValueError) as caught:
                n.fold_event(name, {"agent": "e"})
            self.assertEqual(caught.exception.args, (f"unknown network event type: {name}",))

    def test_missing_keys_in_reading_order(self):
        n = network()
        before = view(n)
        for name, keys in EVENT_KEYS.items():
            for i, key in enumerate(keys):
                # Every earlier key present, this one absent, later ones present.
                data = {k: "e" for k in keys if k != key}
                with self.subTest(name=name, key=key), self.assertRaises(ValueError) as caught:
                    n.fold_event(name, data)
                self.assertEqual(caught.exception.args, (f"missing {key}",))
        self.assertEqual(view(n), before)

    def test_value_not_str(self):
        n = network()
        cases = [
            ("DelegationRequested", {"parent": 1, "child": "h"}, "'int' object is not an instance of 'str'"),
            ("DelegationRequested", {"parent": 1}, "'int' object is not an instance of 'str'"),
            ("AgentDone", {"agent": None}, "'None' is not an instance of 'str'"),
            ("HandoffRequested", {"src": "e", "dst": ["t"]}, "'list' object is not an instance of 'str'"),
        ]
        for name, data, message in cases:
            with self.subTest(data=data), self.assertRaises(TypeError) as caught:
                n.fold_event(name, data)
            self.assertEqual(str(caught.exception), message)
        # A later key is not looked at once an earlier one failed.
        with self.assertRaises(ValueError) as caught:
            n.fold_event("DelegationRequested", {"child": 1})
        self.assertEqual(str(caught.exception), "missing parent")

    def test_argument_failures(self):
        n = network()
        cases = [
            (lambda: n.fold_event(1, {}),
             "argument 'event_type': 'int' object is not an instance of 'str'"),
            (lambda: n.fold_event("UserMessage", [("agent", "e")]),
             "argument 'event_data': 'list' object is not an instance of 'dict'"),
            (lambda: n.fold_event("UserMessage"),
             "NetworkSession.fold_event() missing 1 required positional argument: 'event_data'"),
            (lambda: n.fold_static_delegation("e", dst=2),
             "argument 'dst': 'int' object is not an instance of 'str'"),
            (lambda: n.reset_agent(),
             "NetworkSession.reset_agent() missing 1 required positional argument: 'id'"),
            (lambda: n.agent_status(b"e"), "argument 'id': 'bytes' object is not an instance of 'str'"),
        ]
        for action, message in cases:
            with self.subTest(message), self.assertRaises(TypeError) as caught:
                action()
            self.assertEqual(str(caught.exception), message)

    def test_refused_fold_changes_nothing(self):
        # The key of h stays pending while its delegation is open; a refused
        # call neither releases it nor counts as a fold of anything.
        n = network()
        n.fold_event("UserMessage", {})
        self.assertEqual(n.fold_static_delegation("e", "h"), run("h"))
        before = view(n)
        for name, data in [("DelegationComplete", {"child": "h"}), ("Nope", {}),
                           ("HandoffComplete", {"src": "e", "dst": 3})]:
            with self.assertRaises((ValueError, TypeError)):
                n.fold_event(name, data)
        self.assertEqual(view(n), before)
        self.assertEqual(n.fold_static_delegation("e", "h"), NO_REQUESTS)

    def test_extra_keys_ignored_and_own_items_read(self):
        class Lying(dict):
            def __getitem__(self, key):
                return "t"

            def __missing__(self, key):
                return "t"

        n = network()
        self.assertEqual(n.fold_event("StartAgent", {"agent": "e", "extra": 1.5}), NO_REQUESTS)
        self.assertEqual(n.agent_status("e"), "processing")
        with self.assertRaises(ValueError) as caught:
            n.fold_event("StartAgent", Lying())
        self.assertEqual(str(caught.exception), "missing agent")
        n.fold_event("AgentDone", Lying(agent="e"))
        self.assertEqual(n.agent_status("e"), "done")

    def test_reentrant_calls_during_a_fold_are_refused(self):
        # A key whose hash collides with "agent" makes the dict lookup run
        # Python code while fold_event holds the session.
        n = network()
        seen = []

        class Colliding(str):
            def __hash__(self):
                return hash("agent")

            def __eq__(self, other):
                for call in (lambda: n.agent_status("e"), lambda: n.active_agent,
                             lambda: n.delegation_graph(), lambda: n.reset_agent("e"),
                             lambda: n.fold_event("UserMessage", {})):
                    try:
                        call()
                        seen.append("ran")
                    except RuntimeError as e:
                        seen.append(str(e))
                return False

        with self.assertRaises(ValueError) as caught:
            n.fold_event("AgentDone", {Colliding("x"): "e"})
        self.assertEqual(str(caught.exception), "missing agent")
        # The lookup may compare the key more than once; every round is refused.
        one_round = ["Already mutably borrowed"] * 3 + ["Already borrowed"] * 2
        self.assertTrue(seen)
        self.assertEqual(seen, one_round * (len(seen) // len(one_round)))
        self.assertEqual(n.agent_status("e"), "idle")
        self.assertEqual(n.fold_event("UserMessage", {}), NO_REQUESTS)

    def test_static_delegation_gated_until_complete(self):
        n = network()
        n.fold_event("UserMessage", {})
        self.assertEqual(n.fold_static_delegation("e", "h"), run("h"))
        self.assertEqual(n.fold_static_delegation(src="e", dst="h"), NO_REQUESTS)
        self.assertEqual(n.delegation_graph(), [{"src": "e", "dst": "h"}])
        n.fold_event("AgentDone", {"agent": "h"})
        self.assertEqual(n.fold_static_delegation_complete("e", "h"), NO_REQUESTS)
        # The completed child is removed with its route; the key is free again.
        self.assertIsNone(n.agent_status("h"))
        self.assertEqual(n.agent_status("e"), "processing")
        self.assertEqual(n.fold_static_delegation("e", "h"), run("h"))

    def test_static_members_equal_fold_event(self):
        a, b = network(), network()
        for n in (a, b):
            n.fold_event("UserMessage", {})
        self.assertEqual(a.fold_static_delegation("e", "h"),
                         b.fold_event("DelegationRequested", {"parent": "e", "child": "h"}))
        for n in (a, b):
            n.fold_event("AgentDone", {"agent": "h"})
        self.assertEqual(a.fold_static_delegation_complete("e", "h"),
                         b.fold_event("DelegationComplete", {"parent": "e", "child": "h"}))
        self.assertEqual(view(a), view(b))

    def test_reset_agent(self):
        n = network()
        self.assertIsNone(n.reset_agent("unknown"))
        self.assertIsNone(n.reset_agent("e"))
        self.assertEqual(n.agent_status("e"), "idle")
        n.fold_event("UserMessage", {})
        for _ in range(3):
            n.fold_event("StartAgent", {"agent": "e"})
        n.fold_event("AgentDone", {"agent": "e"})
        self.assertEqual(n.agent_status("e"), "done")
        self.assertIsNone(n.reset_agent(id="e"))
        self.assertEqual(n.session("e"), {"status": "idle", "step_count": 0,
                                          "waiting_on": [], "event_count": 0})

    def test_handoff(self):
        n = network()
        # The source is not done: nothing moves, yet t is asked to run.
        self.assertEqual(n.fold_event("HandoffRequested", {"src": "e", "dst": "t"}), run("t"))
        self.assertEqual((n.active_agent, n.agent_status("t")), ("e", "idle"))
        self.assertEqual(n.fold_event("HandoffComplete", {"src": "e", "dst": "t"}), NO_REQUESTS)
        n.fold_event("UserMessage", {})
        n.fold_event("AgentDone", {"agent": "e"})
        self.assertEqual(n.fold_event("HandoffRequested", {"src": "e", "dst": "t"}), run("t"))
        self.assertEqual((n.active_agent, n.agent_status("e"), n.agent_status("t")),
                         ("t", "idle", "processing"))

    def test_agent_failed_clears_active_agent(self):
        n = network()
        n.fold_event("UserMessage", {})
        n.fold_static_delegation("e", "h")
        n.fold_event("AgentFailed", {"agent": "e"})
        # The coordinator keeps e (it still waits on h); it is no longer active.
        self.assertEqual((n.active_agent, n.agent_status("e")), ("", "waiting_delegate"))
        self.assertEqual(n.fold_event("UserMessage", {}), NO_REQUESTS)


class ScenarioTest(unittest.TestCase):
    """One network run, step by step, against the same operations on a bare
    Coordinator."""

    def mirror(self):
        c = core.Coordinator()
        c.spawn_session("e")
        c.spawn_session("t")
        c.add_route("e", "t", "HandoffRequest", "HandoffResult")
        return c

    @staticmethod
    def delegate(c, parent, child):
        c.spawn_session(child)
        c.add_route(parent, child, "DelegationRequest", "DelegationResult")
        c.delegate_to(parent, child, "DelegationRequest", {})

    @staticmethod
    def attempt(*calls):
        for call in calls:
            try:
                call()
            except ValueError:
                pass

    def test_network_matches_coordinator(self):
        n, c = network(), self.mirror()
        steps = [
            ("RegisterAgent", {"agent": "x"}, NO_REQUESTS, lambda: c.spawn_session("x")),
            ("StartAgent", {"agent": "x"}, NO_REQUESTS, lambda: c.start_processing("x")),
            ("AgentFailed", {"agent": "x"}, NO_REQUESTS, lambda: c.session_failed("x")),
            ("UserMessage", {}, NO_REQUESTS, lambda: c.start_processing("e")),
            ("DelegationRequested", {"parent": "e", "child": "h"}, run("h"),
             lambda: self.delegate(c, "e", "h")),
            ("AgentDone", {"agent": "h"}, NO_REQUESTS, lambda: c.finish_session("h")),
            ("DelegationComplete", {"parent": "e", "child": "h"}, NO_REQUESTS,
             lambda: self.attempt(lambda: c.finish_session("h"),
                                  lambda: c.complete_delegation("e", "h"),
                                  lambda: c.destroy_session("h"))),
            ("AgentDone", {"agent": "e"}, NO_REQUESTS, lambda: c.finish_session("e")),
            ("HandoffRequested", {"src": "e", "dst": "t"}, run("t"),
             lambda: (c.reset_session("e"), c.start_processing("t"))),
            ("HandoffComplete", {"src": "e", "dst": "t"}, NO_REQUESTS, lambda: None),
            ("DelegationRequested", {"parent": "t", "child": "w"}, run("w"),
             lambda: self.delegate(c, "t", "w")),
            ("DelegationFailed", {"parent": "t", "child": "w"}, NO_REQUESTS,
             lambda: c.session_failed("w")),
            ("AgentFailed", {"agent": "t"}, NO_REQUESTS, lambda: c.session_failed("t")),
        ]
        active = ["e", "e", "e", "e", "e", "e", "e", "e", "t", "t", "t", "t", ""]
        for (name, data, requests, on_coordinator), agent in zip(steps, active):
            with self.subTest(step=name, data=data):
                self.assertEqual(n.fold_event(name, data), requests)
                on_coordinator()
                for i in ("e", "h", "t", "x", "w"):
                    self.assertEqual(n.session(i), c.session(i), i)
                    status = c.session(i)["status"] if c.session(i) else None
                    self.assertEqual(n.agent_status(i), status)
                self.assertEqual(n.delegation_graph(), c.delegation_graph())
                self.assertEqual(n.active_agent, agent)


class LeakTest(unittest.TestCase):
    def cycle(self):
        n = core.NetworkSession(["e", "h"], [("e", "h")], [("e", "t")], "e")
        n.fold_event("UserMessage", {})
        n.fold_static_delegation("e", "h")
        n.fold_event("AgentDone", {"agent": "h"})
        n.fold_static_delegation_complete("e", "h")
        n.fold_event("AgentDone", {"agent": "e"})
        n.fold_event("HandoffRequested", {"src": "e", "dst": "t"})
        n.reset_agent("t")
        n.agent_status("t")
        n.session("e")
        n.delegation_graph()
        n.active_agent
        for refused in (lambda: n.fold_event("Nope", {}),
                        lambda: n.fold_event("AgentDone", {"agent": 1}),
                        lambda: n.fold_event("AgentDone", {}),
                        lambda: core.NetworkSession([], [], [("a", "a")], "")):
            try:
                refused()
            except (ValueError, TypeError):
                pass

    def test_repeated_calls_keep_memory_bounded(self):
        self.assertLess(growth_in_blocks(self.cycle), 100)
        self.assertLess(growth_in_rss_kib(self.cycle, rounds=20000), 1024)


if __name__ == "__main__":
    unittest.main()
