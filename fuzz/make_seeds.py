#!/usr/bin/env python3
"""Writes the seed inputs of every fuzz target into a directory per target.

  make_seeds.py CASES.jsonl OUT_DIR [--stdlib STDLIB.json]

CASES.jsonl holds reader cases, one JSON object a line with "kind",
"format" ("json" or "msgpack") and the document as "input" (text, or the
MessagePack bytes in hex); the documents of each kind become the seeds of the
targets that read that kind. STDLIB.json (a JSON array of transducer
definitions) adds valid definitions: each alone for the JSON reader, the
whole list for the MessagePack reader, and each with a few events for the
evaluation target. Files are named by the SHA-1 of their content, as
libFuzzer names the inputs it keeps.

The committed corpora (fuzz/corpus/<target>/) were grown from these seeds
and minimised with libFuzzer's -merge=1; tools/fuzz.sh --merge does that.
"""
import argparse
import hashlib
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "engine", "data"))
from gen_embedded import encode  # noqa: E402  (the same MessagePack encoder as the build)

# kind -> [(target, prefix)]: the prefix selects the target's mode (see the
# target's source).
JSON_TARGETS = {
    "transducer": [("transducer_json", b"")],
    "value": [("roundtrip", b"0")],
    "env": [("roundtrip", b"2")],
    "snapshot": [("roundtrip", b"4"), ("snapshot_json", b"")],
    "routing": [("routing_json", b"")],
    "inbound_checks": [("inbound_checks_json", b"")],
    "session_def": [("session_def_json", b"")],
    "sources": [("routing_inputs_json", b"0")],
    "outbound_checks_input": [("routing_inputs_json", b"1")],
    "inbound_checks_input": [("routing_inputs_json", b"2")],
}
MSGPACK_TARGETS = {
    "transducers": [("transducers_msgpack", b"")],
    "value": [("roundtrip", b"1")],
    "env": [("roundtrip", b"3")],
    "snapshot": [("roundtrip", b"5"), ("snapshot_msgpack", b"")],
}

EVENTS = [
    b"\x00#0",
    b"\x00#1\x01{\"text\":{\"type\":\"Str\",\"value\":\"hi\"}}",
    b"\x00#2\x01{\"n\":[\"Int\",3],\"l\":[\"List\",[[\"Int\",1],[\"Int\",2]]]}",
]


def write(out_dir, target, data):
    d = os.path.join(out_dir, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("cases")
    p.add_argument("out_dir")
    p.add_argument("--stdlib")
    a = p.parse_args()

    with open(a.cases, encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            case = json.loads(line)
            kind, fmt = case["kind"], case.get("format", "json")
            if fmt == "json":
                doc = case["input"].encode("utf-8", "surrogatepass")
                targets = JSON_TARGETS.get(kind, [])
            else:
                doc = bytes.fromhex(case["input"])
                targets = MSGPACK_TARGETS.get(kind, [])
                if kind == "transducer":  # one definition: as a list of one
                    targets = [("transducers_msgpack", b"\x91")]
            for target, prefix in targets:
                write(a.out_dir, target, prefix + doc)
            if kind == "transducer" and fmt == "json" and case["expect"].startswith("OK"):
                write(a.out_dir, "eval", doc + b"".join(EVENTS))

    if a.stdlib:
        with open(a.stdlib, encoding="utf-8") as f:
            defs = json.load(f)
        packed = bytearray()
        encode(defs, packed)
        write(a.out_dir, "transducers_msgpack", bytes(packed))
        for d in defs:
            text = json.dumps(d, separators=(",", ":")).encode()
            write(a.out_dir, "transducer_json", text)
            write(a.out_dir, "eval", text + b"".join(EVENTS))


if __name__ == "__main__":
    main()
