"""Snapshot: its getters and its JSON and MessagePack forms."""

import json
import unittest

from coordination_support import growth_in_blocks
from vostrel._core import Snapshot

EMPTY_JSON = '{"pending":[],"vm_env":{},"event_count":0}'
# None values, quotation marks, nested maps, the largest count.
TRICKY_JSON = (
    '{"pending":["ToolRequest:c1","","a\\"b"],"vm_env":{'
    '"deep":{"type":"Map","value":{"inner":{"type":"List","value":[{"type":"None"},'
    '{"type":"Str","value":"q\\"uote\\n"}]},"n":{"type":"Int","value":-129}}},'
    '"flag":{"type":"Bool","value":false},"nothing":{"type":"None"}},'
    '"event_count":18446744073709551615}')


class SnapshotFormsTest(unittest.TestCase):
    def test_json_round_trip_and_getters(self):
        snap = Snapshot.from_json(TRICKY_JSON)
        self.assertEqual(snap.to_json(), TRICKY_JSON)
        self.assertEqual(snap.pending, ["ToolRequest:c1", "", 'a"b'])
        self.assertEqual(snap.event_count, 18446744073709551615)
        self.assertEqual(Snapshot.from_json(snap.to_json()).to_json(), TRICKY_JSON)
        self.assertIsNot(snap.pending, snap.pending)

    def test_msgpack_round_trip(self):
        snap = Snapshot.from_json(TRICKY_JSON)
        data = snap.to_msgpack()
        self.assertIs(type(data), bytes)
        self.assertEqual(data[0], 0x93)
        self.assertEqual(Snapshot.from_msgpack(data).to_json(), TRICKY_JSON)
        # Bytes after the first value are ignored.
        self.assertEqual(Snapshot.from_msgpack(data + b"\xc1\x93").to_json(), TRICKY_JSON)

    def test_texts_of_every_width_come_back_equal(self):
        # Long texts are measured and decoded straight into a str of the
        # narrowest width that holds them; equality (which compares widths
        # first) and hashing only hold for the canonical width.
        texts = ["a" * 70, "\u00e9" * 70, "a" * 65 + "\u00ff", "a" * 65 + "\u0100",
                 "a" * 65 + "\u4e2d", "\u00e9" * 40 + "\u4e2d\U0001F600", "a" * 70 + "\U0010FFFF",
                 "x\x01\"\\\n" * 20, "\u00e9" * 63 + "a", "",
                 # Megabytes, ASCII or not, written through a buffer or (past
                 # 32 MiB of room) straight into the str; escapes growing the
                 # text past the room taken for it at first, and across.
                 "b" * 5_000_000, "b" * 20_000_000, "\u4e2d" * 6_000_000,
                 "\x01" * 6_000_000]
        for text in texts:
            with self.subTest(text=text[:80], size=len(text)):
                doc = json.dumps({"pending": [text], "vm_env": {"t": {"type": "Str", "value": text}},
                                  "event_count": 0}, ensure_ascii=False, separators=(",", ":"))
                snap = Snapshot.from_json(doc)
                (got,) = snap.pending
                self.assertEqual((got, hash(got)), (text, hash(text)))
                written = snap.to_json()
                self.assertEqual((written, hash(written)), (doc, hash(doc)))

    def test_empty_snapshot_in_both_forms(self):
        snap = Snapshot.from_json(EMPTY_JSON)
        self.assertEqual(snap.to_msgpack(), b"\x93\x90\x80\x00")
        self.assertEqual(Snapshot.from_msgpack(b"\x93\x90\x80\x00").to_json(), EMPTY_JSON)
        self.assertEqual((snap.pending, snap.event_count), ([], 0))

    def test_reader_forms(self):
        expected = '{"pending":["x"],"vm_env":{"x":{"type":"None"}},"event_count":3}'
        texts = [
            '{"event_count":3,"extra":[1,{}],"vm_env":{"x":{"type":"None"}},"pending":["x"]}',
            '[["x"],{"x":["None"]},3]',
            expected + " \n\t",
        ]
        for text in texts:
            with self.subTest(text=text):
                self.assertEqual(Snapshot.from_json(text).to_json(), expected)
        packed = (b"\x83\xab" b"event_count\x03\xc4\x07pending\x91\xa1x"
                  b"\xa6vm_env\x81\xa1x\x91\xa4None")
        self.assertEqual(Snapshot.from_msgpack(packed).to_json(), expected)

    def test_json_errors(self):
        cases = [
            ('{"pending":[],"vm_env":{}}', "missing field `event_count` at line 1 column 26"),
            ('{"pending":[],"vm_env":{},"event_count":-1}',
             "invalid value: integer `-1`, expected u64 at line 1 column 42"),
            (EMPTY_JSON + " x", "trailing characters at line 1 column 44"),
            ("[[],{}]", "invalid length 2, expected struct Snapshot with 3 elements "
                        "at line 1 column 7"),
            ("5", "invalid type: integer `5`, expected struct Snapshot at line 1 column 1"),
            ('{"pending":[],"vm_env":{"v":' + '["List",[' * 70,
             "recursion limit exceeded at line 1 column 595"),
        ]
        for text, message in cases:
            with self.subTest(text=text), self.assertRaises(ValueError) as caught:
                Snapshot.from_json(text)
            self.assertEqual(str(caught.exception), message)

    def test_msgpack_errors(self):
        cases = [
            (b"\x92\x90\x80", "invalid length 2, expected struct Snapshot with 3 elements"),
            (b"\x94\x90\x80\x00\x00", "array had incorrect length, expected 3"),
            (b"\x93\x90", "IO error while reading marker: failed to fill whole buffer"),
            (b"", "IO error while reading marker: failed to fill whole buffer"),
            (b"\x93\x90\x80\xff", "invalid value: integer `-1`, expected u64"),
            (b"\x93\x90\x81\xa1v" + b"\x92\xa4List\x91" * 600, "depth limit exceeded"),
        ]
        for data, message in cases:
            with self.subTest(data=data[:8]), self.assertRaises(ValueError) as caught:
                Snapshot.from_msgpack(data)
            self.assertEqual(str(caught.exception), message)

    def test_argument_errors(self):
        class Blob(bytes):
            pass

        self.assertEqual(Snapshot.from_msgpack(bytes=Blob(b"\x93\x90\x80\x00")).event_count, 0)
        cases = [
            (Snapshot.from_msgpack, (bytearray(b"\x93\x90\x80\x00"),),
             "argument 'bytes': 'bytearray' object is not an instance of 'bytes'"),
            (Snapshot.from_msgpack, (memoryview(b""),),
             "argument 'bytes': 'memoryview' object is not an instance of 'bytes'"),
            (Snapshot.from_msgpack, ("x",), "argument 'bytes': 'str' object is not an instance of 'bytes'"),
            (Snapshot.from_json, (b"{}",), "argument 'json': 'bytes' object is not an instance of 'str'"),
            (Snapshot.from_json, (), "Snapshot.from_json() missing 1 required positional argument: 'json'"),
            (Snapshot.from_msgpack, (b"", b""),
             "Snapshot.from_msgpack() takes 1 positional arguments but 2 were given"),
        ]
        for fn, args, message in cases:
            with self.subTest(fn=fn.__name__, args=args), self.assertRaises(TypeError) as caught:
                fn(*args)
            self.assertEqual(str(caught.exception), message)
        with self.assertRaises(TypeError):
            Snapshot.from_json(EMPTY_JSON).to_json(1)

    def test_class_surface(self):
        self.assertEqual(Snapshot.__doc__, "")
        signatures = {"to_msgpack": "($self)", "from_msgpack": "(bytes)", "to_json": "($self)",
                      "from_json": "(json)"}
        for name, signature in signatures.items():
            with self.subTest(name=name):
                self.assertEqual(getattr(Snapshot, name).__text_signature__, signature)
        self.assertIsNone(Snapshot.pending.__doc__)
        self.assertIsNone(Snapshot.event_count.__doc__)
        a, b = Snapshot.from_json(EMPTY_JSON), Snapshot.from_json(EMPTY_JSON)
        self.assertNotEqual(a, b)
        with self.assertRaises(AttributeError):
            a.pending = []

    def test_repeated_calls_leak_nothing(self):
        snap = Snapshot.from_json(TRICKY_JSON)
        bad = [(Snapshot.from_json, "[[],{}]"), (Snapshot.from_json, 5),
               (Snapshot.from_msgpack, b"\x93\x90"), (Snapshot.from_msgpack, bytearray())]

        def calls():
            Snapshot.from_msgpack(snap.to_msgpack()).to_json()
            snap.pending, snap.event_count
            for fn, arg in bad:
                try:
                    fn(arg)
                except (TypeError, ValueError):
                    pass

        self.assertLess(growth_in_blocks(calls, rounds=1000), 30)


if __name__ == "__main__":
    unittest.main()
