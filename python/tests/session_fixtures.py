"""Small transducers for the session class tests, written as JSON."""

import json

import vostrel._core as core
from leak_checks import allocated_growth, rss_growth_kib  # noqa: F401 (re-exported)


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
