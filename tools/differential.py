#!/usr/bin/env python3
"""Differential test of the system's readers against the reference codec.

  tools/differential.py [--count N] [--seed S] [--oracle PATH] [--driver PATH]
                        [--kinds k1,k2] [--show N] [--cases CASES.jsonl]

Generates N documents (seeded: the same seed gives the same documents) of
every kind the system reads, in JSON and MessagePack: valid documents in all
the forms the readers accept (map and positional records, both Value
shapes, keys in any order, unknown keys, blanks, escapes, every integer
width), then the same documents mutated (fields dropped, repeated, retyped,
tags misspelled, nesting pushed past the limits, bytes cut, flipped,
inserted). Each is read by the system (build/fuzz/differential_driver) and
by the reference codec in batch mode; the answers are compared on success
or failure, on the message and its position, and on the canonical or
written form of what was read.

Comparison rules (the reference codec's DIFFERENCES.md):
  * codec-text: a syntax error whose wording is the codec's own is compared
    on its position only (JSON), or only on being an error (MessagePack);
  * D7: the rendering of a float inside "floating point `...`" is masked;
  * D5, D6, D8, D9, D11: where the reference codec departs from the system's
    definition the system's answer stands; such disagreements are counted
    separately and listed with --show, but do not fail the run.
Every other disagreement fails the run (exit status 1).

The reference codec is built when --oracle is not given: from
../shared/oracle (or $VOSTREL_ORACLE_DIR) with cargo, into
$TMPDIR/oracle-target. Exit status 3 when it cannot be built.
"""
import argparse
import base64
import json
import os
import random
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# --- the documents, as trees ------------------------------------------------
#
# A JSON object is an Obj (a list of key/value pairs, so that keys can repeat
# and keep their order); arrays are lists; strings are str; numbers int or
# Raw (written as given: floats, "-0", huge integers). MessagePack documents
# are built from the same trees, with a few extra leaf kinds (Bin, Ext,
# MpInt: an integer in a chosen width).


class Obj(list):
    pass


class Raw(str):
    """A JSON number written as is."""


class Bin(bytes):
    pass


class MpInt:
    def __init__(self, value, fmt):
        self.value, self.fmt = value, fmt


class MpFloat:
    def __init__(self, value, bits):
        self.value, self.bits = value, bits


class Deep:
    """A value nested `depth` arrays deep (a list of lists)."""

    def __init__(self, depth, kind="array"):
        self.depth, self.kind = depth, kind


VALUE_TAGS = ["Str", "Int", "Bool", "List", "Map", "None"]
EXPR_FIELDS = {
    "Lit": ["value"],
    "Ref": ["name"],
    "Add": ["left", "right"], "Mul": ["left", "right"], "Div": ["left", "right"],
    "Mod": ["left", "right"], "Gt": ["left", "right"], "Eq": ["left", "right"],
    "LAppend": ["list", "item"],
    "MPut": ["map", "key", "value"],
    "MGet": ["map", "key", "type_ann"],
    "MDel": ["map", "key"],
    "MKeys": ["map"],
    "Rec": ["fields"],
    "ELet": ["name", "value", "body"],
    "IfElse": ["cond", "then_expr", "else_expr"],
    "LFold": ["list", "init", "acc_var", "item_var", "body", "item_type_ann"],
    "StrCat": ["left", "right"],
    "Macro": ["name", "args"],
}
EXPR_OPS = list(EXPR_FIELDS)
STRING_FIELDS = {"name", "acc_var", "item_var"}
VTYPES = ["TStr", "TInt", "TBool", "TList", "TMap"]

# Records of string fields, by kind: (fields in declaration order).
ROUTING_RULES = {
    "dispatch_rules": ["request_type", "result_type"],
    "outbound_checks": ["request_type", "check_source"],
    "inbound_checks": ["result_type", "check_source"],
}


class Gen:
    def __init__(self, rng):
        self.r = rng

    def chance(self, p):
        return self.r.random() < p

    def text(self):
        r = self.r
        pick = r.random()
        if pick < 0.4:
            return r.choice(["", "a", "x", "name", "ToolRequest", "LlmRequest", "ToolResult",
                             "messages", "inbound", "outbound", "type", "value", "op", "ab", "B"])
        if pick < 0.7:
            return "".join(r.choice("abcXYZ_:-0 ") for _ in range(r.randint(0, 8)))
        alphabet = ['"', "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x00", "\x01", "\x1f", "\x7f",
                    "é", "€", "𝄞", "a", " ", "\u2028"]
        return "".join(r.choice(alphabet) for _ in range(r.randint(0, 6)))

    def int(self):
        r = self.r
        return r.choice([0, 1, -1, 5, 127, 128, -32, -33, 200, 255, 256, 65535, 65536, -129,
                         -32768, -32769, 2**31, -2**31 - 1, 2**32, 2**63 - 1, -2**63,
                         r.randint(-1000, 1000), r.randint(-2**63, 2**63 - 1)])

    def value(self, depth=0):
        r = self.r
        tag = r.choice(VALUE_TAGS if depth < 4 else ["Str", "Int", "Bool", "None"])
        if tag == "Str":
            return ("Str", self.text())
        if tag == "Int":
            return ("Int", self.int())
        if tag == "Bool":
            return ("Bool", r.random() < 0.5)
        if tag == "None":
            return ("None", None)
        if tag == "List":
            return ("List", [self.value(depth + 1) for _ in range(r.randint(0, 3))])
        return ("Map", [(self.text(), self.value(depth + 1)) for _ in range(r.randint(0, 3))])

    def env(self):
        return [(self.text(), self.value(1)) for _ in range(self.r.randint(0, 4))]

    def expr(self, depth=0):
        r = self.r
        op = r.choice(EXPR_OPS if depth < 4 else ["Lit", "Ref"])
        fields = {}
        for f in EXPR_FIELDS[op]:
            if f == "value" and op == "Lit":
                fields[f] = ("value", self.value(1))
            elif f in STRING_FIELDS:
                fields[f] = ("str", self.text())
            elif f in ("type_ann", "item_type_ann"):
                fields[f] = ("vtype", r.choice(VTYPES) if r.random() < 0.5 else None)
            elif f == "fields":
                fields[f] = ("recfields", [(self.text(), self.expr(depth + 1))
                                           for _ in range(r.randint(0, 2))])
            elif f == "args":
                fields[f] = ("exprs", [self.expr(depth + 1) for _ in range(r.randint(0, 2))])
            else:
                fields[f] = ("expr", self.expr(depth + 1))
        return ("expr", op, fields)

    def transducer(self):
        r = self.r
        return ("rec", "transducer", [
            ("name", ("str", self.text())),
            ("slots", ("list", [("rec", "slot", [("name", ("str", self.text())),
                                                  ("initial", ("value", self.value(1)))])
                                for _ in range(r.randint(0, 2))])),
            ("rules", ("list", [self.rule() for _ in range(r.randint(0, 2))])),
        ])

    def rule(self):
        r = self.r
        return ("rec", "rule", [
            ("on", ("str", self.text())),
            ("guard", ("expr", self.expr(1))),
            ("updates", ("list", [("rec", "update", [("slot", ("str", self.text())),
                                                      ("expr", ("expr", self.expr(1)))])
                                  for _ in range(r.randint(0, 2))])),
            ("emits", ("list", [("expr", self.expr(1)) for _ in range(r.randint(0, 2))])),
        ])

    def strings_record(self, name, fields):
        return ("rec", name, [(f, ("str", self.text())) for f in fields])

    def routing(self):
        return ("rec", "routing", [
            (k, ("list", [self.strings_record(k, fs) for _ in range(self.r.randint(0, 2))]))
            for k, fs in ROUTING_RULES.items()])

    def snapshot(self):
        r = self.r
        count = r.choice([0, 1, 7, 127, 128, 2**32, 2**64 - 1, r.randint(0, 10**6)])
        return ("rec", "snapshot", [
            ("pending", ("list", [("str", self.text()) for _ in range(r.randint(0, 3))])),
            ("vm_env", ("env", self.env())),
            ("event_count", ("uint", count)),
        ])

    def session_def(self):
        r = self.r

        def connection():
            return ("rec", "connection", [
                ("source_id", ("str", self.text())),
                ("pairs", ("list", [self.strings_record("pair", ["request_type", "result_type"])
                                    for _ in range(r.randint(0, 2))])),
                ("checks", ("list", [self.strings_record("check", ["intercept", "direction",
                                                                   "check_source"])
                                     for _ in range(r.randint(0, 2))])),
            ])

        return ("rec", "session_def", [
            ("name", ("str", self.text())),
            ("transducers", ("list", [("str", self.text()) for _ in range(r.randint(0, 3))])),
            ("connections", ("list", [connection() for _ in range(r.randint(0, 2))])),
            ("config", ("strmap", [(self.text(), self.text()) for _ in range(r.randint(0, 3))])),
        ])

    def document(self, kind):
        r = self.r
        if kind == "value":
            return ("value", self.value())
        if kind == "env":
            return ("env", self.env())
        if kind == "transducer":
            return self.transducer()
        if kind == "transducers":
            return ("list", [self.transducer() for _ in range(r.randint(0, 2))])
        if kind == "routing":
            return self.routing()
        if kind == "inbound_checks":
            return ("list", [self.strings_record("check", ["intercept", "check_source"])
                             for _ in range(r.randint(0, 3))])
        if kind == "snapshot":
            return self.snapshot()
        if kind == "session_def":
            return self.session_def()
        if kind == "sources":
            return ("list", [("rec", "source", [
                ("source_id", ("str", self.text())),
                ("pairs", ("list", [self.strings_record("pair", ["request_type", "result_type"])
                                    for _ in range(r.randint(0, 2))]))])
                for _ in range(r.randint(0, 2))])
        if kind == "outbound_checks_input":
            return ("list", [self.strings_record("check", ["request_type", "check_source"])
                             for _ in range(r.randint(0, 3))])
        if kind == "inbound_checks_input":
            return ("list", [self.strings_record("check", ["result_type", "check_source"])
                             for _ in range(r.randint(0, 3))])
        raise ValueError(kind)


# --- from model to a document tree, in one of the accepted forms ------------

class Shape:
    """Turns a model into a JSON or MessagePack tree, choosing among the
    forms the readers accept."""

    def __init__(self, rng, msgpack):
        self.r, self.mp = rng, msgpack

    def chance(self, p):
        return self.r.random() < p

    def junk(self):
        r = self.r
        return r.choice([None, True, 0, "x", [], Obj(), [1, [2]], Obj([("a", 1)]), Raw("1.5")])

    def string(self, s):
        if self.mp and self.chance(0.05):
            return Bin(s.encode("utf-8"))
        return s

    def uint(self, n):
        if self.mp and self.chance(0.3):
            widths = [f for f, lim in (("u8", 2**8), ("u16", 2**16), ("u32", 2**32), ("u64", 2**64))
                      if n < lim]
            return MpInt(n, self.r.choice(widths))
        return n

    def record(self, pairs, positional_ok=True):
        """pairs: [(key, tree)] in declaration order."""
        if positional_ok and self.chance(0.2):
            return [v for _, v in pairs]
        items = list(pairs)
        if self.chance(0.5):
            self.r.shuffle(items)
        if self.chance(0.2):
            items.insert(self.r.randint(0, len(items)), ("extra", self.junk()))
        if self.mp and self.chance(0.1):
            items = [(Bin(k.encode()) if isinstance(k, str) else k, v) for k, v in items]
        return Obj(items)

    def value(self, v):
        tag, payload = v
        if tag == "Str":
            p = self.string(payload)
        elif tag == "Int":
            p = payload
            if self.mp and self.chance(0.3):
                if payload >= 0:
                    p = self.uint(payload)
                else:
                    widths = [f for f, lim in (("i8", 2**7), ("i16", 2**15), ("i32", 2**31),
                                               ("i64", 2**63)) if -payload <= lim]
                    p = MpInt(payload, self.r.choice(widths))
        elif tag == "Bool":
            p = payload
        elif tag == "None":
            p = None
        elif tag == "List":
            p = [self.value(x) for x in payload]
        else:
            p = Obj([(self.string(k), self.value(x)) for k, x in payload])
        tag_form = tag
        if self.mp and self.chance(0.1):
            tag_form = VALUE_TAGS.index(tag)
        if self.chance(0.4):
            out = [tag_form] if tag == "None" and self.chance(0.5) else [tag_form, p]
            return out
        pairs = [("type", tag_form if not self.chance(0.05) else Obj([(tag, None)]))]
        if tag != "None" or self.chance(0.3):
            pairs.append(("value", p))
        if self.chance(0.3):
            pairs.reverse()
        if self.chance(0.1):
            pairs.insert(self.r.randint(0, len(pairs)), ("note", self.junk()))
        return Obj(pairs)

    def env(self, entries):
        return Obj([(self.string(k), self.value(v)) for k, v in entries])

    def expr(self, e):
        _, op, fields = e
        pairs = []
        for f in EXPR_FIELDS[op]:
            kind, x = fields[f]
            if kind == "value":
                pairs.append((f, self.value(x)))
            elif kind == "str":
                pairs.append((f, self.string(x)))
            elif kind == "vtype":
                if x is None and self.chance(0.5):
                    continue  # absent annotation (map form only)
                pairs.append((f, x))
            elif kind == "recfields":
                pairs.append((f, [self.record([("key", self.string(k)), ("val_expr", self.expr(v))])
                                  for k, v in x]))
            elif kind == "exprs":
                pairs.append((f, [self.expr(a) for a in x]))
            else:
                pairs.append((f, self.expr(x)))
        if self.chance(0.15):
            # positional: the tag, then every field (an absent annotation as null)
            full = []
            for f in EXPR_FIELDS[op]:
                found = [v for k, v in pairs if k == f]
                full.append(found[0] if found else None)
            return [op] + full
        pairs.insert(self.r.randint(0, len(pairs)) if self.chance(0.3) else 0, ("op", op))
        if self.chance(0.1):
            pairs.insert(self.r.randint(0, len(pairs)), ("comment", self.junk()))
        return Obj(pairs)

    def tree(self, m):
        kind = m[0]
        if kind == "value":
            return self.value(m[1])
        if kind == "env":
            return self.env(m[1])
        if kind == "expr":
            return self.expr(m if len(m) == 3 else m[1])
        if kind == "str":
            return self.string(m[1])
        if kind == "uint":
            return self.uint(m[1])
        if kind == "list":
            return [self.tree(x) for x in m[1]]
        if kind == "strmap":
            return Obj([(self.string(k), self.string(v)) for k, v in m[1]])
        if kind == "rec":
            return self.record([(k, self.tree(v)) for k, v in m[2]])
        raise ValueError(kind)


# --- writing trees ------------------------------------------------------------

def json_string(s, rng):
    out = ['"']
    for ch in s:
        o = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif o < 0x20:
            out.append(rng.choice(["\\u%04x" % o, "\\u%04X" % o]) if ch not in "\b\f\n\r\t"
                       else rng.choice(["\\u%04x" % o, {"\b": "\\b", "\f": "\\f", "\n": "\\n",
                                                        "\r": "\\r", "\t": "\\t"}[ch]]))
        elif ch == "/" and rng.random() < 0.3:
            out.append("\\/")
        elif o > 0x7f and rng.random() < 0.3:
            if o > 0xFFFF:
                v = o - 0x10000
                out.append("\\u%04x\\u%04x" % (0xD800 + (v >> 10), 0xDC00 + (v & 0x3FF)))
            else:
                out.append("\\u%04x" % o)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def to_json(t, rng, pretty=False):
    ws = (lambda: rng.choice(["", " ", "\n", "\t", "\r\n  "])) if pretty else (lambda: "")
    parts = []

    def emit(x):
        if isinstance(x, Deep):
            parts.append("[" * x.depth + "]" * x.depth)
        elif x is None:
            parts.append("null")
        elif x is True:
            parts.append("true")
        elif x is False:
            parts.append("false")
        elif isinstance(x, Raw):
            parts.append(str(x))
        elif isinstance(x, (MpInt,)):
            parts.append(str(x.value))
        elif isinstance(x, MpFloat):
            parts.append(repr(float(x.value)))
        elif isinstance(x, int):
            parts.append(str(x))
        elif isinstance(x, Bin):
            parts.append(json_string(x.decode("utf-8", "replace"), rng))
        elif isinstance(x, str):
            parts.append(json_string(x, rng))
        elif isinstance(x, Obj):
            parts.append("{" + ws())
            for i, (k, v) in enumerate(x):
                if i:
                    parts.append("," + ws())
                emit(k if isinstance(k, str) else str(k))
                parts.append(ws() + ":" + ws())
                emit(v)
            parts.append(ws() + "}")
        elif isinstance(x, list):
            parts.append("[" + ws())
            for i, v in enumerate(x):
                if i:
                    parts.append("," + ws())
                emit(v)
            parts.append(ws() + "]")
        else:
            raise TypeError(type(x))

    parts.append(ws())
    emit(t)
    parts.append(ws())
    return "".join(parts).encode("utf-8", "surrogatepass")


def mp_header(n, fix_base, fix_max, wide8, wide16, wide32, out):
    if n <= fix_max and fix_base is not None:
        out.append(fix_base | n)
    elif wide8 is not None and n < 256:
        out += bytes([wide8, n])
    elif n < 65536:
        out += bytes([wide16]) + n.to_bytes(2, "big")
    else:
        out += bytes([wide32]) + n.to_bytes(4, "big")


def to_msgpack(t, rng):
    out = bytearray()

    def mp_str(b, prefer_wide=False):
        nonlocal out
        n = len(b)
        if n <= 31 and not prefer_wide:
            out.append(0xA0 | n)
        elif n < 256:
            out += bytes([0xD9, n])
        elif n < 65536:
            out += bytes([0xDA]) + n.to_bytes(2, "big")
        else:
            out += bytes([0xDB]) + n.to_bytes(4, "big")
        out.extend(b)

    def mp_int(v):
        nonlocal out
        if 0 <= v <= 127:
            out.append(v)
        elif -32 <= v < 0:
            out.append(v & 0xFF)
        elif v >= 0:
            for code, size in ((0xCC, 1), (0xCD, 2), (0xCE, 4), (0xCF, 8)):
                if v < 2 ** (8 * size):
                    out.append(code)
                    out += v.to_bytes(size, "big")
                    return
            raise ValueError(v)
        else:
            for code, size in ((0xD0, 1), (0xD1, 2), (0xD2, 4), (0xD3, 8)):
                if v >= -(2 ** (8 * size - 1)):
                    out.append(code)
                    out += v.to_bytes(size, "big", signed=True)
                    return
            raise ValueError(v)

    def emit(x):
        nonlocal out
        if isinstance(x, Deep):
            for _ in range(x.depth):
                out.append(0x91)
            out.append(0x90)
        elif x is None:
            out.append(0xC0)
        elif x is True:
            out.append(0xC3)
        elif x is False:
            out.append(0xC2)
        elif isinstance(x, MpInt):
            codes = {"u8": (0xCC, 1, False), "u16": (0xCD, 2, False), "u32": (0xCE, 4, False),
                     "u64": (0xCF, 8, False), "i8": (0xD0, 1, True), "i16": (0xD1, 2, True),
                     "i32": (0xD2, 4, True), "i64": (0xD3, 8, True)}
            code, size, signed = codes[x.fmt]
            out.append(code)
            out += x.value.to_bytes(size, "big", signed=signed)
        elif isinstance(x, MpFloat):
            import struct
            if x.bits == 32:
                out.append(0xCA)
                out += struct.pack(">f", x.value)
            else:
                out.append(0xCB)
                out += struct.pack(">d", x.value)
        elif isinstance(x, Raw):
            try:
                emit(MpFloat(float(x), 64))
            except ValueError:
                emit(str(x))
        elif isinstance(x, int):
            if x >= 2**64 or x < -2**63:
                emit(MpFloat(float(x), 64))
            else:
                mp_int(x)
        elif isinstance(x, Bin):
            n = len(x)
            if n < 256:
                out += bytes([0xC4, n])
            else:
                out += bytes([0xC5]) + n.to_bytes(2, "big")
            out.extend(x)
        elif isinstance(x, str):
            mp_str(x.encode("utf-8", "surrogatepass"), prefer_wide=rng.random() < 0.05)
        elif isinstance(x, Obj):
            mp_header(len(x), 0x80, 15, None, 0xDE, 0xDF, out)
            for k, v in x:
                emit(k)
                emit(v)
        elif isinstance(x, list):
            if rng.random() < 0.03:
                out += bytes([0xDC]) + len(x).to_bytes(2, "big")
            else:
                mp_header(len(x), 0x90, 15, None, 0xDC, 0xDD, out)
            for v in x:
                emit(v)
        else:
            raise TypeError(type(x))

    emit(t)
    return bytes(out)


# --- mutations ------------------------------------------------------------------

def subtrees(t, path=()):
    yield path, t
    if isinstance(t, Obj):
        for i, (_, v) in enumerate(t):
            yield from subtrees(v, path + (("o", i),))
    elif isinstance(t, list):
        for i, v in enumerate(t):
            yield from subtrees(v, path + (("a", i),))


def replace_at(t, path, new):
    if not path:
        return new
    (kind, i), rest = path[0], path[1:]
    if kind == "o":
        copy = Obj(t)
        k, v = copy[i]
        copy[i] = (k, replace_at(v, rest, new))
        return copy
    copy = list(t)
    copy[i] = replace_at(t[i], rest, new)
    return copy


def mutate_tree(t, rng, msgpack):
    nodes = list(subtrees(t))
    path, node = rng.choice(nodes)
    pick = rng.random()
    if isinstance(node, Obj) and node and pick < 0.25:
        copy = Obj(node)
        i = rng.randrange(len(copy))
        what = rng.random()
        if what < 0.4:
            del copy[i]  # a missing field
        elif what < 0.7:
            copy.insert(rng.randint(0, len(copy)), copy[i])  # a repeated field
        elif what < 0.85:
            k, v = copy[i]
            if isinstance(k, str):
                copy[i] = (k.capitalize() if k[:1].islower() else k.lower(), v)
        else:
            k, v = copy[i]
            copy[i] = (k, Deep(rng.choice([120, 126, 127, 128, 200, 1020, 1023, 1030])))
        return replace_at(t, path, copy)
    if isinstance(node, list) and not isinstance(node, Obj) and pick < 0.4:
        copy = list(node)
        what = rng.random()
        if what < 0.4 and copy:
            del copy[rng.randrange(len(copy))]
        elif what < 0.7:
            copy.append(rng.choice([None, 0, "x", [], Obj()]))
        elif copy:
            copy[0] = rng.choice(["int", "INT", "Lit ", "lit", "Sub", "gt", "", 6, 19, 5, -1, 2**64 - 1,
                                  True, None, Raw("1.0"), [], Obj([("Int", None)]), Obj()])
        return replace_at(t, path, copy)
    if isinstance(node, str) and pick < 0.6:
        new = rng.choice(["int", "Int", "None", "TInt", "tint", "Op", "", node + "x", node.upper(),
                          "\udc80" if not msgpack else "ok"])
        return replace_at(t, path, new)
    replacement = rng.choice([None, True, False, 0, -1, 5, 2**63, 2**64, -2**63 - 1, Raw("-0"),
                              Raw("1.0"), Raw("1e3"), Raw("2.5e-3"), "x", [], Obj(), [["Int", 5]],
                              Obj([("type", "Int"), ("value", 5)]), ["None"], ["Int"],
                              Deep(rng.choice([126, 127, 128, 1022, 1023, 1024]))])
    if msgpack and rng.random() < 0.3:
        replacement = rng.choice([Bin(b""), Bin(b"ab"), MpInt(1, "i8"), MpInt(1, "u16"),
                                  MpFloat(1.5, 32), MpFloat(2.0, 64), MpInt(5, "u64")])
    return replace_at(t, path, replacement)


def mutate_bytes(data, rng):
    b = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        pick = rng.random()
        if not b:
            b += bytes([rng.randrange(256)])
            continue
        i = rng.randrange(len(b) + 1)
        if pick < 0.3:
            del b[i:]  # truncated
        elif pick < 0.5 and i < len(b):
            b[i] = rng.randrange(256)
        elif pick < 0.7:
            b[i:i] = bytes([rng.choice(b'{}[]:,"\\ \n0-e.tfn\x00\xff\xc0\xc3\x91\x81\xa1')])
        elif pick < 0.85 and i < len(b):
            del b[i:i + rng.randint(1, 4)]
        else:
            b[i:i] = rng.choice([b" ", b"\n", b"\r\n", b" x", b"{}", b"\xef\xbb\xbf", b"\xed\xa0\x80"])
    return bytes(b)


# --- running both sides ---------------------------------------------------------

def run_batch(cmd, cases):
    payload = "".join(json.dumps(c) + "\n" for c in cases).encode()
    p = subprocess.run(cmd, input=payload, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = [l.decode("utf-8", "replace") for l in p.stdout.split(b"\n") if l]
    if len(lines) != len(cases):
        sys.exit("differential: %s gave %d answers for %d cases (exit %d)\n%s"
                 % (cmd[0], len(lines), len(cases), p.returncode, p.stderr.decode()[-2000:]))
    return [json.loads(l) for l in lines]


FIXED = ("missing field", "duplicate field", "unknown variant", "invalid type:", "invalid value:",
         "invalid length", "trailing characters", "recursion limit exceeded",
         "EOF while parsing a value", "depth limit exceeded", "array had incorrect length")
POS = re.compile(r" at line (\d+) column (\d+)$")
FLOAT = re.compile(r"floating point `[^`]*`")


def split_pos(text):
    m = POS.search(text)
    return (text[:m.start()], (int(m.group(1)), int(m.group(2)))) if m else (text, None)


def nesting(data):
    """The deepest nesting of arrays and objects of a JSON text (strings
    skipped)."""
    depth = deepest = 0
    in_str = esc = False
    for c in data:
        if in_str:
            if esc:
                esc = False
            elif c == 0x5C:
                esc = True
            elif c == 0x22:
                in_str = False
        elif c == 0x22:
            in_str = True
        elif c in (0x5B, 0x7B):
            depth += 1
            deepest = max(deepest, depth)
        elif c in (0x5D, 0x7D):
            depth -= 1
    return deepest


def known_difference(case, data, ours, theirs):
    """The DIFFERENCES.md item that explains a disagreement, or None."""
    ot, tt = ours.get("text", ""), theirs.get("text", "")
    json_fmt = case["format"] == "json"
    if not ours["ok"] and not theirs["ok"]:
        if "invalid type: null," in tt and ot == tt.replace("invalid type: null,", "invalid type: unit value,"):
            return "D5"
        if "floating point `-0`" in tt or (b"-0" in data and "floating point" in tt):
            return "D9"
    if theirs["ok"] is False and "byte array, expected struct" in tt:
        return "D6"
    if theirs["ok"] is False and json_fmt and "floating point `-0`" in tt:
        return "D9"
    if json_fmt and not ours["ok"] and ot.startswith("recursion limit exceeded") \
            and not tt.startswith("recursion limit exceeded") and nesting(data) > 127:
        return "D8"  # skipped values count towards the limit here, not there
    if not json_fmt and re.search(r"invalid type: integer `\d+`, expected (field|variant) identifier",
                                  tt):
        # an integer in a format the reference codec does not take as an
        # index: a map key in a width its buffered reader refuses (u16, u32),
        # or a variant index in a signed format; here any non-negative
        # integer selects its field or variant (or is refused as out of range)
        return "D11c"
    d11_marks = ("map with a single key", "expected unit", "wrong msgpack marker",
                 "array had incorrect length, expected 0", "array had incorrect length, expected 2",
                 "expected variant identifier", "expected string or map")
    if any(m in tt or m in ot for m in d11_marks) and (b"type" in data or b"\x01" in data):
        return "D11?"
    return None


def compare(case, data, ours, theirs):
    """None when the answers agree, else a short reason."""
    if ours["ok"] != theirs["ok"]:
        return "outcome"
    ot, tt = ours["text"], theirs["text"]
    if ours["ok"]:
        return None if ot == tt else "result"
    if ot == tt:
        return None
    om, opos = split_pos(ot)
    tm, tpos = split_pos(tt)
    if not tm.startswith(FIXED):
        # the codec's own wording: the position must agree
        return None if opos == tpos else "position"
    if FLOAT.sub("floating point `*`", ot) == FLOAT.sub("floating point `*`", tt):
        return None
    return "message" if opos == tpos else "message+position"


# kind -> formats the system reads it in
KINDS = {
    "value": ("json", "msgpack"),
    "env": ("json", "msgpack"),
    "transducer": ("json",),
    "transducers": ("msgpack",),
    "routing": ("json",),
    "inbound_checks": ("json",),
    "snapshot": ("json", "msgpack"),
    "session_def": ("json",),
    "sources": ("json",),
    "outbound_checks_input": ("json",),
    "inbound_checks_input": ("json",),
}


def generate(n, seed, kinds):
    rng = random.Random(seed)
    gen = Gen(rng)
    cases = []
    for i in range(n):
        kind = rng.choice(kinds)
        fmt = rng.choice(KINDS[kind])
        msgpack = fmt == "msgpack"
        tree = Shape(rng, msgpack).tree(gen.document(kind))
        pick = rng.random()
        if pick < 0.35:
            note = "valid"
        elif pick < 0.75:
            for _ in range(rng.randint(1, 2)):
                tree = mutate_tree(tree, rng, msgpack)
            note = "tree"
        else:
            note = "bytes"
        data = to_msgpack(tree, rng) if msgpack else to_json(tree, rng, pretty=rng.random() < 0.3)
        if note == "bytes":
            data = mutate_bytes(data, rng)
        op = "read"
        if kind in ("value", "env", "snapshot") and not msgpack and note == "valid" and rng.random() < 0.3:
            op, fmt = "write", rng.choice(["json", "msgpack"])  # the JSON form in, written out
        cases.append({"id": "%d-%d" % (seed, i), "op": op, "kind": kind, "format": fmt,
                      "input_b64": base64.b64encode(data).decode(), "note": note})
    return cases


def build_oracle():
    src = os.environ.get("VOSTREL_ORACLE_DIR", os.path.join(ROOT, "..", "shared", "oracle"))
    target = os.path.join(tempfile.gettempdir(), "oracle-target")
    exe = os.path.join(target, "release", "oracle")
    if not os.path.isdir(src):
        return None
    r = subprocess.run(["cargo", "build", "--release", "--offline", "-q"], cwd=src,
                       env=dict(os.environ, CARGO_TARGET_DIR=target),
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode != 0 or not os.path.exists(exe):
        sys.stderr.write(r.stderr.decode()[-2000:])
        return None
    return exe


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--count", type=int, default=10000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--oracle")
    p.add_argument("--driver", default=os.path.join(ROOT, "build", "fuzz", "differential_driver"))
    p.add_argument("--kinds", default=",".join(KINDS))
    p.add_argument("--show", type=int, default=10, help="disagreements to print per class")
    p.add_argument("--batch", type=int, default=5000)
    a = p.parse_args()

    oracle = a.oracle or build_oracle()
    if not oracle:
        print("differential: the reference codec does not build here; skipped")
        return 3
    kinds = [k for k in a.kinds.split(",") if k]
    total = agree = unsupported = 0
    bad, known = {}, {}
    done = 0
    while done < a.count:
        n = min(a.batch, a.count - done)
        cases = generate(n, a.seed * 1000003 + done, kinds)
        done += n
        batch = [{k: c[k] for k in ("id", "op", "kind", "format", "input_b64")} for c in cases]
        ours = run_batch([a.driver], batch)
        theirs = run_batch([oracle, "batch"], batch)
        for c, o, t in zip(cases, ours, theirs):
            if o.get("ok") is None:
                unsupported += 1
                continue
            total += 1
            data = base64.b64decode(c["input_b64"])
            reason = compare(c, data, o, t)
            if reason is None:
                agree += 1
                continue
            item = known_difference(c, data, o, t)
            bucket = known if item else bad
            key = (item or reason, c["kind"], c["format"])
            bucket.setdefault(key, []).append((c, data, o, t))

    def show(title, table):
        for key, items in sorted(table.items()):
            print("%s %s %s/%s: %d" % (title, key[0], key[1], key[2], len(items)))
            for c, data, o, t in items[:a.show]:
                shown = data.decode("utf-8", "backslashreplace") if c["format"] == "json" else data.hex()
                print("  %s [%s %s] %s" % (c["id"], c["op"], c["note"], shown[:300]))
                print("    system:    %s %s" % (o["ok"], o.get("text", "")[:300]))
                print("    reference: %s %s" % (t["ok"], t.get("text", "")[:300]))

    show("known", known)
    show("DISAGREE", bad)
    n_known = sum(len(v) for v in known.values())
    n_bad = sum(len(v) for v in bad.values())
    print("differential: %d documents compared, %d agree, %d known differences, %d disagreements"
          "%s" % (total, agree, n_known, n_bad,
                  ", %d of kinds the system does not read yet" % unsupported if unsupported else ""))
    return 1 if n_bad else 0


if __name__ == "__main__":
    sys.exit(main())
