"""Deep input: writers refuse what their own readers would refuse."""

import unittest

import vostrel._core as core
from session_fixtures import config, setter

JSON_TOO_DEEP = ("value too deeply nested for JSON: the JSON reader takes at most 127 arrays and "
                 "objects open at once")
MSGPACK_TOO_DEEP = ("value too deeply nested for MessagePack: the MessagePack reader takes at most "
                    "1023 arrays and maps open at once")


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
