"""Small transducers for the session class tests, written as JSON."""

import gc
import json
import os
import sys

import vostrel._core as core


def value(v):
    """The tagged JSON form of a Python value."""
    if v is None:
        return {"type": "None"}
    if isinstance(v, bool):
        return {"type": "Bool", "value": v}
    if isinstance(v, int):
        return {"type": "Int", "value": v}
    if isinstance(v, str):
        return {"type": "Str", "value": v}
    if isinstance(v, list):
        return {"type": "List", "value": [value(x) for x in v]}
    return {"type": "Map", "value": {k: value(x) for k, x in v.items()}}


def lit(v):
    return {"op": "Lit", "value": value(v)}


def ref(name):
    return {"op": "Ref", "name": name}


def rec(**fields):
    return {"op": "Rec", "fields": [{"key": k, "val_expr": e} for k, e in fields.items()]}


def rule(on, emits=(), updates=(), guard=None):
    return {"on": on, "guard": guard or lit(True),
            "updates": [{"slot": s, "expr": e} for s, e in updates],
            "emits": list(emits)}


def transducer(name, slots=(), rules=()):
    return core.load_transducer(json.dumps({
        "name": name,
        "slots": [{"name": n, "initial": value(v)} for n, v in slots],
        "rules": list(rules)}))


def setter(name="memory", on="Set", slot="x", field="v"):
    """A slot `slot` (initially 0) set to the event field `field` on `on`."""
    return transducer(name, [(slot, 0)], [rule(on, updates=[(slot, ref(field))])])


def topology(dispatch=(), outbound=(), inbound=()):
    return json.dumps({
        "dispatch_rules": [{"request_type": q, "result_type": r} for q, r in dispatch],
        "outbound_checks": [{"request_type": q, "check_source": c} for q, c in outbound],
        "inbound_checks": [{"result_type": r, "check_source": c} for r, c in inbound]})


def inbound_defs(defs=()):
    return json.dumps([{"intercept": t, "check_source": c} for t, c in defs])


def config(dispatch=(), outbound=(), inbound=(), defs=()):
    return core.SessionConfig(topology(dispatch, outbound, inbound), inbound_defs(defs))


def allocated_growth(action, rounds=300):
    """Blocks still allocated after `rounds` more calls of `action` than
    after a warm-up; near zero unless a call leaks Python objects."""
    for _ in range(50):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE") // 1024


def rss_growth_kib(action, rounds=20000):
    """Resident memory gained over `rounds` calls after a warm-up: bounded
    unless a call leaks engine memory."""
    for _ in range(2000):
        action()
    before = rss_kib()
    for _ in range(rounds):
        action()
    return rss_kib() - before
