"""Deep input: every reader takes a document nested to its limit, and refuses one level more,
on a thread with a 128 KiB stack; writers refuse what their own readers would refuse."""

import json
import os
import subprocess
import sys
import threading
import unittest

import vostrel._core as core
from session_fixtures import config, setter

JSON_TOO_DEEP = ("value too deeply nested for JSON: the JSON reader takes at most 127 arrays and "
                 "objects open at once")
MSGPACK_TOO_DEEP = ("value too deeply nested for MessagePack: the MessagePack reader takes at most "
                    "1023 arrays and maps open at once")


NO_ROUTES = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'
# The stack of a musl thread (and of hosts that choose small threads). The sanitizer build's
# frames are four to six times larger (its deepest JSON snapshot needs about 430 KiB): there the
# same inputs run on a 1 MiB stack.
STACK_KIB = 1024 if os.environ.get("VOSTREL_SANITIZED") else 128


SOURCES = '[{{"x":{},"source_id":"s","pairs":[]}}]'


def brackets(depth):
    return "[" * depth + "]" * depth


def value_json(depth):
    """The JSON form of None inside `depth` lists."""
    return '{"type":"List","value":[' * depth + '{"type":"None"}' + "]}" * depth


def deep_expr(depth):
    """`depth` Add nodes around a Ref, in the array form."""
    e = ["Ref", "x"]
    for _ in range(depth):
        e = ["Add", e, ["Ref", "x"]]
    return e


def transducer_text(initial=None, expr=None):
    rule = {"on": "E", "guard": ["Lit", ["Bool", True]],
            "updates": [{"slot": "x", "expr": expr or ["Ref", "x"]}], "emits": []}
    return json.dumps({"name": "t", "slots": [{"name": "x", "initial": initial or ["Int", 1]}],
                       "rules": [rule]}, separators=(",", ":"))


def fold_deepest(depth):
    """Loads, validates and folds a transducer whose update nests `depth` levels, then reads
    and writes the state it holds."""
    t = core.load_transducer(transducer_text(expr=deep_expr(depth)))
    core.validate([t])
    s = core.Session([t], core.SessionConfig(NO_ROUTES))
    s.step("E", {})
    s.get_state()
    s.snapshot().to_json()


def write_deep_state(depth):
    """A state far deeper than any reader takes: the state read back as Python, and the
    writers' refusals."""
    s = core.Session([setter()], config())
    s.step("Set", {"v": nested(depth)})
    state = s.get_state()
    snap = s.snapshot()
    refusals = []
    for write in (snap.to_json, snap.to_msgpack):
        try:
            write()
        except ValueError as refused:
            refusals.append(str(refused))
    return state, refusals


# name: (the call on a document nested `depth` levels, the deepest it takes, its error one
# level deeper). Depths count lists for values, Add nodes for expressions, brackets otherwise.
READERS = {
    "Snapshot.from_json": (
        lambda d: core.Snapshot.from_json(
            '{"pending":[],"vm_env":{"h":' + value_json(d) + '},"event_count":0}'),
        62, "recursion limit exceeded at line 1 column 1540"),
    "Snapshot.from_json, skipped key": (
        lambda d: core.Snapshot.from_json(
            '{"x":' + brackets(d) + ',"pending":[],"vm_env":{},"event_count":0}'),
        126, "recursion limit exceeded at line 1 column 132"),
    "Snapshot.from_msgpack": (
        lambda d: core.Snapshot.from_msgpack(
            b"\x93\x90\x81\xa1h" + b"\x92\xa4List\x91" * d + b"\x91\xa4None\x00"),
        510, "depth limit exceeded"),
    "Snapshot.from_msgpack, map form": (
        lambda d: core.Snapshot.from_msgpack(
            b"\x93\x90\x81\xa1h" + b"\x82\xa4type\xa4List\xa5value\x91" * d
            + b"\x81\xa4type\xa4None\x00"),
        510, "depth limit exceeded"),
    "Snapshot.from_msgpack, payloads held": (
        lambda d: core.Snapshot.from_msgpack(
            b"\x93\x90\x81\xa1h" + b"\x82\xa5value\x91" * d + b"\x91\xa4None"
            + b"\xa4type\xa4List" * d + b"\x00"),
        510, "depth limit exceeded"),
    "Snapshot.from_msgpack, skipped key": (
        lambda d: core.Snapshot.from_msgpack(
            b"\x84\xa1x" + b"\x91" * (d - 1) + b"\x90"
            + b"\xa7pending\x90\xa6vm_env\x80\xabevent_count\x00"),
        1022, "depth limit exceeded"),
    "load_transducer, expression": (
        lambda d: core.load_transducer(transducer_text(expr=deep_expr(d))),
        121, "recursion limit exceeded at line 1 column 989"),
    "load_transducer, initial value": (
        lambda d: core.load_transducer(transducer_text(initial=json.loads(value_json(d)))),
        61, "recursion limit exceeded at line 1 column 1532"),
    "validate and fold": (fold_deepest, 121, "recursion limit exceeded at line 1 column 989"),
    "SessionConfig, topology": (
        lambda d: core.SessionConfig(
            '{"dispatch_rules":[{"x":' + brackets(d)
            + ',"request_type":"a","result_type":"b"}],"outbound_checks":[],"inbound_checks":[]}'),
        124, "Invalid routing JSON: recursion limit exceeded at line 1 column 149"),
    "SessionConfig, inbound checks": (
        lambda d: core.SessionConfig(
            NO_ROUTES, '[{"x":' + brackets(d) + ',"intercept":"a","check_source":"b"}]'),
        125, "Invalid inbound checks JSON: recursion limit exceeded at line 1 column 132"),
    "load_session_def": (
        lambda d: core.load_session_def(
            '{"x":' + brackets(d) + ',"name":"n","transducers":[],"connections":[],"config":{}}'),
        126, "recursion limit exceeded at line 1 column 132"),
    "derive_topology": (
        lambda d: core.derive_topology(SOURCES.format(brackets(d)), "[]"),
        125, "Invalid sources JSON: recursion limit exceeded at line 1 column 132"),
    "resolve_source": (
        lambda d: core.resolve_source(SOURCES.format(brackets(d)), "a"),
        125, "Invalid sources JSON: recursion limit exceeded at line 1 column 132"),
}

CHILD = """
import json, sys, threading
import test_deep_input as t
call, deepest, _ = t.READERS[sys.argv[1]]
threading.stack_size(t.STACK_KIB * 1024)
outcomes = []
def run():
    for depth in (deepest, deepest + 1):
        try:
            call(depth)
            outcomes.append("read")
        except ValueError as e:
            outcomes.append(str(e))
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(json.dumps(outcomes))
"""


def on_small_thread(name):
    """Runs READERS[name] at and past its limit on a small thread, in a child process (a
    stack overflow kills the process)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", CHILD, name], capture_output=True, text=True,
                          env=env, timeout=120)


class SmallStackTest(unittest.TestCase):
    def test_every_reader_at_and_past_its_limit(self):
        for name, (_, _, error) in READERS.items():
            with self.subTest(reader=name):
                child = on_small_thread(name)
                self.assertEqual(child.returncode, 0, child.stderr[-2000:])
                self.assertEqual(json.loads(child.stdout), ["read", error])

    def test_the_engine_holds_and_writes_what_no_reader_takes(self):
        # Converting, reading back as Python and refusing to write all walk without recursing.
        # 3,000 lists: three times what any reader takes, and as deep as CPython itself frees
        # a list on such a thread.
        threading.stack_size(STACK_KIB * 1024)
        try:
            results = []
            thread = threading.Thread(target=lambda: results.append(write_deep_state(3000)))
            thread.start()
            thread.join()
        finally:
            threading.stack_size(0)
        # Compared here: CPython's own comparison of such lists recurses.
        [(state, refusals)] = results
        self.assertEqual(refusals, [JSON_TOO_DEEP, MSGPACK_TOO_DEEP])
        self.assertEqual(state, {"x": nested(3000)})


def nested(depth):
    """None inside `depth` lists."""
    v = None
    for _ in range(depth):
        v = [v]
    return v


def history_json(depth):
    """The snapshot of a history holding one message whose content is nested `depth` lists."""
    content = '{"type":"List","value":[' * depth + '{"type":"None"}' + "]}" * depth
    return ('{"pending":[],"vm_env":{"x":{"type":"List","value":[{"type":"Map","value":'
            '{"content":' + content + "}}]}},\"event_count\":1}")


def history_msgpack(depth):
    return (b"\x93\x90\x81\xa1x\x92\xa4List\x91\x92\xa3Map\x81\xa7content"
            + b"\x92\xa4List\x91" * depth + b"\x91\xa4None\x01")


def column_of_open(text, count):
    """Where a JSON reader stands when the `count`th bracket open at once opens (no string in
    these texts holds a bracket)."""
    opened = 0
    for i, c in enumerate(text):
        opened += (c in "[{") - (c in "]}")
        if opened == count:
            return i + 1
    return None


class WriterBoundaryTest(unittest.TestCase):
    """Around the limits (the snapshot and the history take six levels, each list two, the
    innermost None one), a writer's text reads back equal, or the writer refuses it and the
    same text is what the reader refuses."""

    FORMS = [
        ("json", range(58, 66), 60, JSON_TOO_DEEP, history_json),
        ("msgpack", range(506, 514), 508, MSGPACK_TOO_DEEP, history_msgpack),
    ]

    def test_writers_refuse_exactly_past_the_readers_limits(self):
        for form, depths, deepest, refusal, expected in self.FORMS:
            written = []
            for depth in depths:
                with self.subTest(form=form, depth=depth):
                    session = core.Session([setter()], config())
                    session.step("Set", {"v": [{"content": nested(depth)}]})
                    state = session.get_state()
                    snap = session.snapshot()
                    write = snap.to_json if form == "json" else snap.to_msgpack
                    read = core.Snapshot.from_json if form == "json" else core.Snapshot.from_msgpack
                    try:
                        out = write()
                    except ValueError as refused:
                        self.assertEqual(str(refused), refusal)
                        self.assertEqual(session.get_state(), state)
                        self.assertEqual(snap.event_count, 1)
                        with self.assertRaises(ValueError) as caught:
                            read(expected(depth))
                        if form == "json":
                            column = column_of_open(expected(depth), 128)
                            message = f"recursion limit exceeded at line 1 column {column}"
                        else:
                            message = "depth limit exceeded"
                        self.assertEqual(str(caught.exception), message)
                        continue
                    written.append(depth)
                    self.assertEqual(out, expected(depth))
                    back = read(out)
                    self.assertEqual(back.to_msgpack(), snap.to_msgpack())
                    resumed = core.Session.resume(back, config(), [setter()], [])
                    self.assertEqual(resumed.get_state(), state)
            self.assertEqual(written, list(range(depths[0], deepest + 1)), form)

    def test_a_refused_snapshot_still_writes_its_other_form(self):
        session = core.Session([setter()], config())
        session.step("Set", {"v": nested(300)})
        snap = session.snapshot()
        with self.assertRaises(ValueError) as caught:
            snap.to_json()
        self.assertEqual(str(caught.exception), JSON_TOO_DEEP)
        back = core.Snapshot.from_msgpack(snap.to_msgpack())
        self.assertEqual(core.Session.resume(back, config(), [setter()], []).get_state(),
                         session.get_state())


if __name__ == "__main__":
    unittest.main()
