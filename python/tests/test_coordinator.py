"""Class Coordinator: effect, session and edge dicts, refusals, arguments."""

import unittest

import vostrel._core as core
from coordination_support import growth_in_blocks, growth_in_rss_kib
from test_frame import MEMBERS as CLASS_MEMBERS


IDLE = {"status": "idle", "step_count": 0, "waiting_on": [], "event_count": 0}


def coordinator(*ids, processing=(), routes=()):
    c = core.Coordinator()
    for i in ids:
        c.spawn_session(i)
    for i in processing:
        c.start_processing(i)
    for src, dst in routes:
        c.add_route(src, dst, "Task", "Result")
    return c


def delegated(parent="p", child="c"):
    """p processing, waiting on c, which processes the delegated task."""
    c = coordinator(parent, child, processing=[parent], routes=[(parent, child)])
    c.delegate_to(parent, child, "Task", {})
    return c


def delegated_and_done():
    c = delegated()
    c.finish_session("c")
    return c


def state(c):
    return (c.sessions(), c.delegation_graph())


def items(d):
    return list(d.items())


class ClassTest(unittest.TestCase):
    def test_member_order_and_signatures(self):
        members = [(n, getattr(core.Coordinator, n).__text_signature__)
                   for n in vars(core.Coordinator) if not n.startswith("__")]
        self.assertEqual(members, [(n, s) for n, s, _ in CLASS_MEMBERS["Coordinator"][1]])
        self.assertEqual(core.Coordinator.__text_signature__, "()")

    def test_constructor_takes_no_arguments(self):
        for args, kwargs, message in [
            ((1,), {}, "Coordinator.__new__() takes 0 positional arguments but 1 was given"),
            ((), {"x": 1}, "Coordinator.__new__() got an unexpected keyword argument 'x'"),
        ]:
            with self.subTest(message), self.assertRaises(TypeError) as caught:
                core.Coordinator(*args, **kwargs)
            self.assertEqual(str(caught.exception), message)

    def test_objects_share_nothing(self):
        a, b = core.Coordinator(), core.Coordinator()
        a.spawn_session("x")
        self.assertIsNone(b.session("x"))


class ResultTest(unittest.TestCase):
    def test_effect_dicts_in_key_order(self):
        c = coordinator("p", "c", processing=["p"], routes=[("p", "c")])
        for _ in range(2):
            c.process_step("p")
        cases = [
            (lambda: c.spawn_session("a"), [("type", "CreateSession"), ("id", "a")]),
            (lambda: c.fork_session("p", "f"),
             [("type", "ForkSession"), ("parent", "p"), ("child", "f"),
              ("parent_event_count", 2)]),
            (lambda: c.destroy_session("f"), [("type", "DestroySession"), ("id", "f")]),
            (lambda: c.delegate_to("p", "c", "Task", {"k": 1}),
             [("type", "AgentRequest"), ("session", "c"), ("event_tag", "Task"),
              ("request_data", {"k": 1})]),
            (lambda: c.finish_session("c"), None),
            (lambda: c.complete_delegation("p", "c"),
             [("type", "CollectAgentResult"), ("parent", "p"), ("child", "c"),
              ("result_type", "Result")]),
            (lambda: c.session_failed("a"), [("type", "DestroySession"), ("id", "a")]),
        ]
        for action, expected in cases:
            result = action()
            if expected is None:
                self.assertIsNone(result)
            else:
                self.assertEqual(items(result), expected)

    def test_operations_without_effect_return_none(self):
        c = coordinator("a", "b")
        self.assertIsNone(c.add_route("a", "b", "T", "R"))
        self.assertIsNone(c.start_processing("a"))
        self.assertIsNone(c.process_step("a"))
        self.assertIsNone(c.finish_session("a"))
        self.assertIsNone(c.reset_session("a"))
        c = delegated()
        self.assertIsNone(c.cancel_delegation("p", "c"))
        self.assertEqual(c.session("c"), IDLE)

    def test_session_dicts(self):
        c = core.Coordinator()
        c.spawn_session("a")
        self.assertEqual(items(c.session("a")), items(IDLE))
        self.assertIsNone(c.session("never"))
        c = delegated()
        self.assertEqual(items(c.session("p")),
                         [("status", "waiting_delegate"), ("step_count", 0),
                          ("waiting_on", ["c"]), ("event_count", 0)])
        self.assertEqual(c.session("c"), {"status": "processing", "step_count": 0,
                                          "waiting_on": [], "event_count": 1})
        self.assertEqual(c.delegation_graph(), [{"src": "p", "dst": "c"}])
        self.assertEqual(list(c.delegation_graph()[0]), ["src", "dst"])

    def test_listings_in_byte_order(self):
        c = coordinator("b", "a", "B", "", processing=["b"], routes=[("b", "a"), ("b", "B")])
        self.assertEqual(list(c.sessions()), ["", "B", "a", "b"])
        c.delegate_to("b", "a", "T", {})
        c.delegate_to("b", "B", "T", {})
        self.assertEqual(c.session("b")["waiting_on"], ["B", "a"])
        self.assertEqual(c.delegation_graph(), [{"src": "b", "dst": "B"},
                                                {"src": "b", "dst": "a"}])

    def test_request_data_comes_back_sorted_and_fresh(self):
        c = coordinator("p", "c", processing=["p"], routes=[("p", "c")])
        data = {"b": [1, {"y": None, "x": True}], "a": "s"}
        effect = c.delegate_to("p", "c", "Task", data)
        self.assertEqual(list(effect["request_data"]), ["a", "b"])
        self.assertEqual(list(effect["request_data"]["b"][1]), ["x", "y"])
        self.assertEqual(effect["request_data"], data)
        effect["request_data"]["a"] = "changed"
        self.assertEqual(c.session("p")["waiting_on"], ["c"])

    def test_returned_dicts_share_nothing(self):
        c = delegated()
        c.session("p")["waiting_on"].append("x")
        c.sessions()["p"]["status"] = "done"
        c.delegation_graph().clear()
        self.assertEqual(c.session("p")["waiting_on"], ["c"])
        self.assertEqual(c.session("p")["status"], "waiting_delegate")
        self.assertEqual(len(c.delegation_graph()), 1)

    def test_ten_steps_then_refused(self):
        c = coordinator("a", processing=["a"])
        for _ in range(10):
            c.process_step("a")
        before = state(c)
        with self.assertRaises(ValueError) as caught:
            c.process_step("a")
        self.assertEqual(caught.exception.args, ("max steps reached: a",))
        self.assertEqual(state(c), before)
        self.assertEqual(c.session("a")["step_count"], 10)

    def test_can_reach(self):
        c = delegated()
        self.assertTrue(c.can_reach("p", "c"))
        self.assertFalse(c.can_reach("c", "p"))
        self.assertFalse(c.can_reach("nobody", "p"))
        self.assertFalse(c.can_reach("c", "c"))

    def test_empty_id_is_ordinary(self):
        c = core.Coordinator()
        self.assertEqual(c.spawn_session(""), {"type": "CreateSession", "id": ""})
        with self.assertRaises(ValueError) as caught:
            c.spawn_session("")
        self.assertEqual(str(caught.exception), "session already exists: ")

    def test_keyword_arguments(self):
        c = coordinator("p", "c", processing=["p"])
        c.add_route(result_type="R", request_type="T", dst="c", src="p")
        effect = c.delegate_to(request_data={}, request_type="T", src="p", dst="c")
        self.assertEqual(effect["session"], "c")
        self.assertTrue(c.can_reach(target="c", start="p"))


class RefusalTest(unittest.TestCase):
    # (build the coordinator, the refused call, the display text)
    CASES = [
        (lambda: coordinator("a"), lambda c: c.spawn_session("a"), "session already exists: a"),
        (lambda: coordinator("a"), lambda c: c.fork_session("a", "a"), "cannot reference self"),
        (lambda: coordinator("c"), lambda c: c.fork_session("x", "c"), "session not found: x"),
        (lambda: coordinator("a", "c"), lambda c: c.fork_session("a", "c"),
         "session already exists: c"),
        (lambda: coordinator(), lambda c: c.start_processing("x"), "session not found: x"),
        (lambda: coordinator("a", processing=["a"]), lambda c: c.start_processing("a"),
         "session not idle: a"),
        (lambda: coordinator("a"), lambda c: c.process_step("a"), "session not processing: a"),
        (lambda: coordinator("a"), lambda c: c.finish_session("a"), "session not processing: a"),
        (lambda: coordinator("a"), lambda c: c.reset_session("a"), "session not done: a"),
        (delegated_and_done, lambda c: c.reset_session("c"), "session has incoming delegation: c"),
        (lambda: coordinator("a", processing=["a"]), lambda c: c.destroy_session("a"),
         "session not idle: a"),
        (lambda: coordinator("a"), lambda c: c.add_route("x", "y", "T", "R"),
         "session not found: x"),
        (lambda: coordinator("a"), lambda c: c.add_route("a", "y", "T", "R"),
         "session not found: y"),
        (lambda: coordinator("a"), lambda c: c.add_route("a", "a", "T", "R"),
         "cannot reference self"),
        (lambda: coordinator(), lambda c: c.delegate_to("p", "p", "T", {}),
         "cannot reference self"),
        (lambda: coordinator(), lambda c: c.delegate_to("p", "c", "T", {}), "no route from p to c"),
        (lambda: coordinator("p", "c", routes=[("p", "c")]),
         lambda c: c.delegate_to("p", "c", "T", {}),
         "session not processing or waiting delegate: p"),
        (delegated, lambda c: c.delegate_to("p", "c", "T", {}), "session not idle: c"),
        (delegated, lambda c: c.complete_delegation("p", "c"), "session not done: c"),
        (delegated, lambda c: c.complete_delegation("p", "x"), "no delegation edge from p to x"),
        (lambda: coordinator("p", processing=["p"]), lambda c: c.complete_delegation("p", "c"),
         "session not processing or waiting delegate: p"),
        (delegated, lambda c: c.cancel_delegation("x", "c"), "session not found: x"),
        (delegated, lambda c: c.session_failed("p"), "session has outgoing edges: p"),
        (delegated, lambda c: c.finish_session("p"), "session not processing: p"),
    ]

    def test_refusals_raise_display_text_and_change_nothing(self):
        for build, call, message in self.CASES:
            with self.subTest(message):
                c = build()
                before = state(c)
                with self.assertRaises(ValueError) as caught:
                    call(c)
                self.assertEqual(caught.exception.args, (message,))
                self.assertEqual(state(c), before)

    def test_cancel_of_child_that_delegated_further(self):
        c = delegated()
        c.spawn_session("g")
        c.add_route("c", "g", "T", "R")
        c.delegate_to("c", "g", "T", {})
        before = state(c)
        with self.assertRaises(ValueError) as caught:
            c.cancel_delegation("p", "c")
        self.assertEqual(str(caught.exception), "session has outgoing edges: c")
        self.assertEqual(state(c), before)


class ArgumentTest(unittest.TestCase):
    def test_type_errors(self):
        c = coordinator("p", "c", processing=["p"], routes=[("p", "c")])
        cases = [
            (lambda: c.spawn_session(),
             "Coordinator.spawn_session() missing 1 required positional argument: 'id'"),
            (lambda: c.add_route("a", "b"),
             "Coordinator.add_route() missing 2 required positional arguments: "
             "'request_type' and 'result_type'"),
            (lambda: c.spawn_session("a", "b"),
             "Coordinator.spawn_session() takes 1 positional arguments but 2 were given"),
            (lambda: c.session("a", id="a"),
             "Coordinator.session() got multiple values for argument 'id'"),
            (lambda: c.can_reach("a", goal="b"),
             "Coordinator.can_reach() got an unexpected keyword argument 'goal'"),
            (lambda: c.spawn_session(1), "argument 'id': 'int' object is not an instance of 'str'"),
            (lambda: c.session(None), "argument 'id': 'None' is not an instance of 'str'"),
            (lambda: c.add_route("p", "c", b"T", "R"),
             "argument 'request_type': 'bytes' object is not an instance of 'str'"),
            (lambda: c.delegate_to("p", "c", "T", []),
             "argument 'request_data': 'list' object is not an instance of 'dict'"),
            (lambda: c.delegate_to("p", 2, "T", []),
             "argument 'dst': 'int' object is not an instance of 'str'"),
            (lambda: c.sessions(1), "Coordinator.sessions() takes no arguments (1 given)"),
        ]
        before = state(c)
        for action, message in cases:
            with self.subTest(message), self.assertRaises(TypeError) as caught:
                action()
            self.assertEqual(str(caught.exception), message)
        self.assertEqual(state(c), before)

    def test_lone_surrogate_is_an_encoding_error(self):
        c = core.Coordinator()
        with self.assertRaises(UnicodeEncodeError):
            c.spawn_session("\ud800")
        self.assertEqual(c.sessions(), {})

    def test_request_data_conversion_fails_before_the_engine(self):
        c = coordinator("p", "c", processing=["p"], routes=[("p", "c")])
        before = state(c)
        cases = [
            ({"k": 1.5}, ValueError, "Vostrel values don't support floats"),
            ({"k": (1, 2)}, ValueError, "Cannot convert tuple to Vostrel Value"),
            ({"k": 2 ** 63}, OverflowError, None),
            ({1: "v"}, TypeError, None),
        ]
        for data, exc_type, message in cases:
            with self.subTest(data=data), self.assertRaises(exc_type) as caught:
                c.delegate_to("p", "c", "T", data)
            if message:
                self.assertEqual(str(caught.exception), message)
            self.assertFalse(str(caught.exception).startswith("argument "))
            self.assertEqual(state(c), before)
        # An engine refusal would have come second: the data is converted first.
        with self.assertRaises(ValueError) as caught:
            c.delegate_to("x", "x", "T", {"k": 0.5})
        self.assertEqual(str(caught.exception), "Vostrel values don't support floats")

    def test_subclasses_accepted(self):
        class Text(str):
            pass

        class Data(dict):
            def __getitem__(self, key):
                raise AssertionError("not consulted")

        c = coordinator("p", "c", processing=["p"], routes=[("p", "c")])
        effect = c.delegate_to(Text("p"), Text("c"), Text("T"), Data(b=2.0, a=1))
        self.assertEqual(effect["request_data"], {"a": 1, "b": 2})
        self.assertIs(type(effect["session"]), str)


class LeakTest(unittest.TestCase):
    def cycle(self):
        c = core.Coordinator()
        c.spawn_session("p")
        c.spawn_session("c")
        c.fork_session("p", "f")
        c.destroy_session("f")
        c.add_route("p", "c", "T", "R")
        c.start_processing("p")
        c.process_step("p")
        c.delegate_to("p", "c", "T", {"k": [1, {"x": "y"}]})
        c.session("p")
        c.sessions()
        c.delegation_graph()
        c.can_reach("p", "c")
        c.finish_session("c")
        c.complete_delegation("p", "c")
        c.finish_session("p")
        c.reset_session("p")
        c.session_failed("c")
        for refused in (lambda: c.spawn_session("p"),
                        lambda: c.delegate_to("p", "p", "T", {"k": 0.5}),
                        lambda: c.spawn_session(1)):
            try:
                refused()
            except (ValueError, TypeError):
                pass

    def test_repeated_calls_keep_memory_bounded(self):
        self.assertLess(growth_in_blocks(self.cycle), 100)
        self.assertLess(growth_in_rss_kib(self.cycle), 1024)


if __name__ == "__main__":
    unittest.main()
