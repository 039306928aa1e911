"""Random calls of every function and member of the module.

Each round calls every module function, every constructor and every member
of every class (on instances made by valid calls) many times, with
arguments drawn at random: the right kind of argument or any other kind
(subclasses of dict, list and str, deep nesting, huge ints, NaN, lone
surrogates, bytes, tuples, objects of the module's own classes), in random
number, by position or by keyword, known keywords and unknown ones. Every
call must return or raise one of the exceptions the module raises for bad
arguments; the objects must stay usable after a failed call; the module
must keep its attributes; and repeating a round must not leave Python
memory blocks behind.

Seeded (VOSTREL_RANDOM_SEED overrides the seed) and bounded to a few
seconds; names the module does not register yet are skipped.
"""

import gc
import math
import os
import random
import sys
import time
import unittest

import vostrel._core as core

SEED = int(os.environ.get("VOSTREL_RANDOM_SEED", "20261210"))
CALLS_PER_ROUND = 6000
# What a call may raise: the module's argument and input errors.
ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, IndexError, RecursionError)

ROUTING = '{"dispatch_rules":[{"request_type":"ToolRequest","result_type":"ToolResult"}],' \
          '"outbound_checks":[{"request_type":"ToolRequest","check_source":"guard"}],' \
          '"inbound_checks":[{"result_type":"UserMessage","check_source":"mod"}]}'
EMPTY_ROUTING = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'
INBOUND = '[{"intercept":"ToolResult","check_source":"mod"}]'
TRANSDUCER = ('{"name":"t","slots":[{"name":"n","initial":{"type":"Int","value":0}},'
              '{"name":"log","initial":["List",[]]}],'
              '"rules":[{"on":"E","guard":{"op":"Lit","value":["Bool",true]},'
              '"updates":[{"slot":"n","expr":{"op":"Add","left":{"op":"Ref","name":"n"},'
              '"right":{"op":"Lit","value":["Int",1]}}},'
              '{"slot":"log","expr":{"op":"LAppend","list":{"op":"Ref","name":"log"},'
              '"item":{"op":"Ref","name":"x"}}}],'
              '"emits":[{"op":"Rec","fields":[{"key":"type","val_expr":{"op":"Lit",'
              '"value":["Str","ToolRequest"]}},{"key":"key","val_expr":{"op":"StrCat",'
              '"left":{"op":"Lit","value":["Str","ToolRequest:"]},"right":{"op":"Ref",'
              '"name":"id"}}}]}]}]}')
SNAPSHOT = '{"pending":["ToolRequest"],"vm_env":{"n":["Int",3]},"event_count":3}'
SESSION_DEF = ('{"name":"s","transducers":["messages","call_llm"],"connections":[{"source_id":"llm",'
               '"pairs":[{"request_type":"LlmRequest","result_type":"LlmResponse"}],'
               '"checks":[{"intercept":"LlmRequest","direction":"outbound","check_source":"llm"}]}],'
               '"config":{"k":"v"}}')
SOURCES = '[{"source_id":"tools","pairs":[{"request_type":"ToolRequest","result_type":"ToolResult"}]}]'
CHECKS = '[{"request_type":"ToolRequest","check_source":"guard"}]'
RESULT_CHECKS = '[{"result_type":"ToolResult","check_source":"mod"}]'
JSON_TEXTS = [ROUTING, EMPTY_ROUTING, INBOUND, TRANSDUCER, SNAPSHOT, SESSION_DEF, SOURCES, CHECKS,
              RESULT_CHECKS, "[]", "{}", "", "null", '{"a":', "[" * 200 + "]" * 200]
NETWORK_EVENTS = ["UserMessage", "RegisterAgent", "StartAgent", "AgentDone", "ResetAgent",
                  "DelegationRequested", "DelegationComplete", "DelegationFailed",
                  "HandoffRequested", "HandoffComplete", "AgentFailed"]


class HookCalled(Exception):
    """Raised by the hooks of the subclasses below."""


# Sequence parameters are taken through Python's sequence protocol, which may
# call a list subclass's hooks; value, dict and event-log conversion never do.
SEQUENCE_PARAMS = {"transducers", "agents", "delegation_routes", "handoff_routes"}


class Dict(dict):
    """A dict subclass whose hooks must never be called."""

    def __getitem__(self, key):
        raise HookCalled("a dict subclass's __getitem__ was called")

    def keys(self):
        raise HookCalled("a dict subclass's keys was called")

    def items(self):
        raise HookCalled("a dict subclass's items was called")


class List(list):
    def __getitem__(self, index):
        raise HookCalled("a list subclass's __getitem__ was called")

    def __len__(self):
        raise HookCalled("a list subclass's __len__ was called")

    def __iter__(self):
        raise HookCalled("a list subclass's __iter__ was called")


class Str(str):
    def __str__(self):
        raise HookCalled("a str subclass's __str__ was called")


class Int(int):
    pass


class Float(float):
    pass


class Tuple(tuple):
    pass


class Opaque:
    pass


def nested_list(depth):
    v = []
    for _ in range(depth):
        v = [v]
    return v


def nested_dict(depth):
    v = {}
    for _ in range(depth):
        v = {"k": v}
    return v


# Built once: deep, but cheap to convert.
DEEP_LIST = nested_list(20000)
DEEP_DICT = nested_dict(20000)
# Containers that contain themselves.
CYCLIC_LIST = [1]
CYCLIC_LIST.append([CYCLIC_LIST])
CYCLIC_DICT = {}
CYCLIC_DICT["self"] = CYCLIC_DICT


class Args:
    """Random arguments: of the kind a parameter name suggests, or of any
    other kind."""

    def __init__(self, rng, objects):
        self.r = rng
        self.objects = objects  # instances of the module's classes

    def scalar(self):
        r = self.r
        return r.choice([
            None, True, False, 0, 1, -1, 2**63 - 1, -2**63, 2**63, -2**63 - 1, 2**200, Int(7),
            True.__class__(0), 0.0, -0.0, 3.0, 0.5, 1e19, -1e19, float("nan"), float("inf"),
            -float("inf"), Float(2.0), "", "x", "E", "ToolRequest", "\ud800", "a\udfffb", "\x00",
            "é€𝄞", Str("E"), b"", b"\x93\x90\x80\x00", bytearray(b"\x93"), (), ("E",),
            ("E", {}), ("E", {}, "extra"), Tuple(("E", {})), {1, 2}, frozenset(), Opaque(),
            object(), len, math.pi, 1j,
        ])

    def value(self, depth=0):
        """Something that may or may not convert to a Vostrel value."""
        r = self.r
        pick = r.random()
        if depth > 3 or pick < 0.45:
            return self.scalar()
        if pick < 0.6:
            return [self.value(depth + 1) for _ in range(r.randint(0, 3))]
        if pick < 0.7:
            return List(self.value(depth + 1) for _ in range(r.randint(0, 3)))
        if pick < 0.85:
            return {self.key(): self.value(depth + 1) for _ in range(r.randint(0, 3))}
        if pick < 0.92:
            d = Dict()
            for _ in range(r.randint(0, 3)):
                dict.__setitem__(d, self.key(), self.value(depth + 1))
            return d
        return r.choice([DEEP_LIST, DEEP_DICT, [DEEP_LIST], {"deep": DEEP_DICT}, CYCLIC_LIST,
                         CYCLIC_DICT, {"c": CYCLIC_LIST}])

    def key(self):
        return self.r.choice(["a", "b", "", "x", "type", "B", "\ud800", 1, None, (1,), Str("s")])

    def data(self):
        r = self.r
        if r.random() < 0.7:
            d = {self.r.choice(["x", "id", "text", "agent", "parent", "child", "source",
                                "destination", "context"]): self.value(1)
                 for _ in range(r.randint(0, 3))}
            return Dict(d) if r.random() < 0.2 else d
        return self.value()

    def event_log(self):
        r = self.r
        items = []
        for _ in range(r.randint(0, 3)):
            if r.random() < 0.7:
                items.append((r.choice(["E", "SessionInit", "UserMessage", "ToolResult", "X"]),
                              self.data()))
            else:
                items.append(self.value())
        return List(items) if r.random() < 0.1 else items

    def transducers(self):
        r = self.r
        defs = self.objects.get("TransducerDef", [])
        pick = r.random()
        if defs and pick < 0.6:
            chosen = [r.choice(defs) for _ in range(r.randint(0, 3))]
            return tuple(chosen) if r.random() < 0.2 else chosen
        if pick < 0.8:
            return [self.value() for _ in range(r.randint(0, 2))]
        return self.value()

    def instance(self, name):
        pool = self.objects.get(name)
        return self.r.choice(pool) if pool else self.value()

    def pairs(self):
        r = self.r
        out = []
        for _ in range(r.randint(0, 3)):
            if r.random() < 0.8:
                out.append((r.choice(["a", "b", "c"]), r.choice(["a", "b", "c", "x"])))
            else:
                out.append(self.value())
        return out

    def for_param(self, name):
        """An argument for parameter `name`: usually of the right kind."""
        r = self.r
        if r.random() < 0.35:
            return self.value()
        if name in ("event_data", "request_data", "context"):
            return self.data()
        if name in ("event_log", "remaining_events"):
            return self.event_log()
        if name == "transducers":
            return self.transducers()
        if name == "config":
            return self.instance("SessionConfig")
        if name == "snapshot":
            return self.instance("Snapshot")
        if name == "bytes":
            snaps = self.objects.get("Snapshot", [])
            if snaps and r.random() < 0.5:
                data = r.choice(snaps).to_msgpack()
                cut = r.randint(0, len(data))
                return data if r.random() < 0.5 else data[:cut] + data[cut + 1:]
            return r.choice([b"", b"\x93\x90\x80\x00", b"\x93" * 50, bytearray(b"\x93\x90\x80\x00")])
        if name in ("agents",):
            return [r.choice(["a", "b", "c"]) for _ in range(r.randint(0, 3))]
        if name in ("delegation_routes", "handoff_routes"):
            return self.pairs()
        if name == "event_type":
            return r.choice(NETWORK_EVENTS + ["Nope"])
        if name == "event_tag":
            return r.choice(["E", "SessionInit", "UserMessage", "ToolResult", "LlmResponse", "X", ""])
        if "json" in name or name in ("json",):
            text = r.choice(JSON_TEXTS)
            if r.random() < 0.2 and text:
                cut = r.randrange(len(text))
                text = text[:cut] + text[cut + 1:]
            return text
        if name in ("id", "src", "dst", "parent", "child", "start", "target", "entry_point"):
            return r.choice(["a", "b", "c", "x", ""])
        if name in ("request_type", "result_type"):
            return r.choice(["ToolRequest", "ToolResult", "LlmRequest", "x"])
        return self.value()


def parameters(obj):
    """The parameter names of a callable, from its text signature."""
    sig = getattr(obj, "__text_signature__", None)
    if not sig:
        return []
    inner = sig[sig.index("(") + 1:sig.rindex(")")]
    names = []
    for part in inner.split(","):
        part = part.strip().split("=")[0].strip()
        if part and part not in ("$self", "/", "*", "$type"):
            names.append(part.lstrip("$"))
    return names


class RandomCaller:
    def __init__(self, test, seed):
        self.test = test
        self.r = random.Random(seed)
        self.objects = {}
        self.args = Args(self.r, self.objects)
        self.calls = 0
        self.returned = 0

    # -- making instances with valid calls --------------------------------

    def make_instances(self):
        o = self.objects

        def keep(name, make):
            if not hasattr(core, name):
                return
            try:
                o.setdefault(name, []).append(make())
            except ALLOWED:
                pass  # a class whose operations have not landed yet

        if hasattr(core, "load_transducer"):
            keep("TransducerDef", lambda: core.load_transducer(TRANSDUCER))
        if hasattr(core, "stdlib"):
            try:
                o.setdefault("TransducerDef", []).extend(core.stdlib())
            except ALLOWED:
                pass
        keep("SessionConfig", lambda: core.SessionConfig(ROUTING, INBOUND))
        keep("SessionConfig", lambda: core.SessionConfig(EMPTY_ROUTING))
        if hasattr(core, "Snapshot"):
            keep("Snapshot", lambda: core.Snapshot.from_json(SNAPSHOT))
        defs = o.get("TransducerDef", [])
        configs = o.get("SessionConfig", [])
        if defs and configs:
            keep("Session", lambda: core.Session(defs, configs[0]))
            keep("AgentSession", lambda: core.AgentSession(defs, configs[0]))
        if defs:
            keep("ContinuationSession", lambda: core.ContinuationSession(defs, ROUTING))
        keep("Coordinator", core.Coordinator if hasattr(core, "Coordinator") else None)
        keep("NetworkSession", lambda: core.NetworkSession(["a", "b"], [("a", "b")], [("b", "a")], "a"))
        for s in o.get("Session", []):
            keep("StepResult", lambda: s.step("E", {"x": 1, "id": "1"}))
            keep("Snapshot", s.snapshot)
        for s in o.get("ContinuationSession", []):
            keep("FoldResult", lambda: s.fold_event("E", {"x": 1, "id": "1"}))
        for s in o.get("AgentSession", []):
            keep("Snapshot", s.snapshot)

    # -- the calls ----------------------------------------------------------

    def call(self, fn, label):
        params = parameters(fn)
        r = self.r
        pos, kw = [], {}
        pick = r.random()
        if pick < 0.75:
            # the right number, some by keyword
            for i, p in enumerate(params):
                if kw or (i > 0 and r.random() < 0.2):
                    kw[p] = self.args.for_param(p)
                else:
                    pos.append(self.args.for_param(p))
        else:
            pos = [self.args.value() for _ in range(r.randint(0, len(params) + 2))]
            if r.random() < 0.5:
                names = params + ["bogus", "json", "x"]
                for _ in range(r.randint(1, 2)):
                    kw[r.choice(names)] = self.args.value()
        self.calls += 1
        try:
            result = fn(*pos, **kw)
            self.returned += 1
            return result
        except ALLOWED:
            return None
        except HookCalled:
            if SEQUENCE_PARAMS & set(params):
                return None
            self.test.fail("%s ran a hook of a subclass\n  args %r\n  kwargs %r"
                           % (label, pos[:4], list(kw)))
        except BaseException as e:  # noqa: BLE001 (reported with the call)
            self.test.fail("%s raised %s: %s\n  args %r\n  kwargs %r"
                           % (label, type(e).__name__, e, pos[:4], list(kw)))

    def members(self, cls_name):
        cls = getattr(core, cls_name)
        return [m for m in vars(cls) if not m.startswith("__") or m == "__repr__"]

    def touch(self, obj, label):
        """An object must stay usable: every getter and repr still work."""
        try:
            repr(obj)
            for m in self.members(type(obj).__name__):
                attr = getattr(type(obj), m)
                if not callable(attr):
                    getattr(obj, m)
        except BaseException as e:  # noqa: BLE001
            self.test.fail("%s left %s unusable: %s: %s" % (label, type(obj).__name__,
                                                             type(e).__name__, e))

    def one(self):
        r = self.r
        names = [n for n in vars(core) if not n.startswith("__")]
        name = r.choice(names)
        target = getattr(core, name)
        if not isinstance(target, type):
            result = self.call(target, name)
            if isinstance(result, core.TransducerDef if hasattr(core, "TransducerDef") else ()):
                self.objects.setdefault("TransducerDef", [])
            return
        members = self.members(name)
        instances = self.objects.get(name, [])
        if r.random() < 0.2 or not (members and instances) and not members:
            self.call(target, name + "()")
            return
        m = r.choice(members) if members else None
        if m is None:
            return
        attr = vars(target)[m]
        if isinstance(attr, staticmethod) or type(attr).__name__ == "builtin_function_or_method":
            result = self.call(getattr(target, m), "%s.%s" % (name, m))
            if type(result).__name__ == name:
                instances.append(result) if len(instances) < 8 else None
            return
        if not instances:
            return
        obj = r.choice(instances)
        bound = getattr(obj, m)
        if callable(bound):
            self.call(bound, "%s.%s" % (name, m))
        self.touch(obj, "%s.%s" % (name, m))

    def round(self, calls):
        for _ in range(calls):
            self.one()


def module_attributes():
    return {n: id(getattr(core, n)) for n in vars(core)}


class RandomCallsTest(unittest.TestCase):
    def test_every_call_returns_or_raises_an_argument_error(self):
        before = module_attributes()
        started = time.monotonic()
        caller = RandomCaller(self, SEED)
        caller.make_instances()
        caller.round(CALLS_PER_ROUND)
        # Enough calls get past argument checking to reach the engine.
        self.assertGreater(caller.returned, caller.calls // 10)
        self.assertEqual(module_attributes(), before)
        self.assertEqual(core.__doc__, "")
        self.assertLess(time.monotonic() - started, 60)

    def test_repeated_rounds_leave_no_memory_behind(self):
        def run_round():
            caller = RandomCaller(self, SEED + 1)
            caller.make_instances()
            caller.round(CALLS_PER_ROUND // 3)
            del caller
            gc.collect()

        for _ in range(2):  # warm-up: caches of the interpreter fill once
            run_round()
        base = sys.getallocatedblocks()
        for _ in range(3):
            run_round()
        grown = sys.getallocatedblocks() - base
        self.assertLess(grown, 300, "%d Python memory blocks left after 3 rounds" % grown)


if __name__ == "__main__":
    unittest.main()
