#!/usr/bin/env python3
"""Benchmarks of the vostrel._core module as a Python host sees it.

Measures, each as the median of repeated runs:
  1. agent turn cost against history length: an AgentSession over stdlib()
     whose history is built by folding events, at several history lengths:
     a UserMessage fold (one LlmRequest carrying the whole history), a
     ToolResult fold while another tool result is outstanding (no request),
     and get_state() (the whole state handed to Python once);
  2. the snapshot codecs of that session against the standard library's json
     and against the reference codec's typed decode of the same bytes (its
     `time` command; skipped with a note when it cannot be built);
  3. start-up: importing the module in a fresh interpreter, stdlib(), and
     load_transducer of a 100-rule definition;
  4. snapshots of four shapes (short chat, long texts, tool calls with their
     results, text in other scripts) at 1,000 and 10,000 messages: from_json
     and from_msgpack against the reference codec, to_json and to_msgpack
     against json.dumps and to_msgpack against to_json, every side in fresh
     processes pinned to one core
     (VOSTREL_BENCH_CPU, default the last one this process may use).
Prints a table with the medians and each ratio against its target, then the
table of shapes (alone with --shapes-only).

Past a few MiB, a result handed to Python outgrows the memory CPython's
small-object allocator keeps: freeing it returns whole arenas to the system,
and the next call maps and first-touches fresh pages. Where a first touch is
dear (it is on virtual machines), this adds a step to the wall time of every
call that builds a large result, json.loads included. The growth rows are
therefore also measured in a second interpreter run with PYTHONMALLOC=malloc,
whose allocator keeps freed memory: that row shows the growth of the work.

    PYTHONPATH=build/dev/python python3 bench/bench_module.py [--smoke]

--smoke runs tiny sizes once or twice: it checks that everything runs and
that every measured call does what it is meant to, not how fast it is.
"""

import argparse
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

from vostrel import _core as core

TOPOLOGY = json.dumps({
    "dispatch_rules": [
        {"request_type": "LlmRequest", "result_type": "LlmResponse"},
        {"request_type": "ToolRequest", "result_type": "ToolResult"},
    ],
    "outbound_checks": [],
    "inbound_checks": [],
})

TEXT = ("The quick brown fox jumps over the lazy dog; then it asks for the "
        "weather in Zurich and for a table of the next three days.")


def run_once(fn, i):
    """Wall time of one `fn(i)` with the collector off (as timeit does);
    returns (seconds, result). The caller frees the result outside the timed
    window."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        result = fn(i)
        return time.perf_counter() - start, result
    finally:
        gc.enable()


def timed_rounds(steps, reps):
    """Medians of several measurements taken side by side: each round runs
    every step once, in order, so that a busy machine weighs on all of them
    alike. `steps` maps a name to (fn, after); `after(i, result)`, if any,
    runs untimed (checks, and resetting what the next round needs)."""
    times = {name: [] for name in steps}
    for i in range(reps):
        for name, (fn, after) in steps.items():
            seconds, result = run_once(fn, i)
            times[name].append(seconds)
            if after:
                after(i, result)
            del result
    return {name: statistics.median(t) for name, t in times.items()}


def timed(fn, reps):
    return timed_rounds({"fn": (fn, None)}, reps)["fn"]


def expect(condition, what):
    if not condition:
        raise SystemExit("bench_module: " + what)


def session_with_history(n):
    """An AgentSession over stdlib() whose history holds `n` messages, built
    by folding events that append one message each and request nothing."""
    config = core.SessionConfig(TOPOLOGY)
    s = core.AgentSession(core.stdlib(), config)
    tag, data = core.session_init([])
    s.boot(tag, data)
    for i in range(n):
        if i % 2:
            s.fold_event("LlmContent", {"content": f"{i}: {TEXT}"})
        else:
            s.fold_event("LlmResponse", {"role": "assistant", "parts": [f"{i}: {TEXT}"],
                                         "tool_calls": []})
    expect(len(s.get_state()["messages"]) == n, f"history of {n} messages not built")
    expect(s.is_idle, "history building left requests pending")
    return s


def turn_costs(n, reps):
    """Medians of the three per-turn measurements at history length `n`."""
    s = session_with_history(n)

    # One response with more tool calls than rounds: every ToolResult below
    # leaves at least one outstanding, so none of them emits anything.
    calls = [{"id": f"c{i}", "name": "lookup", "arguments": "{}"} for i in range(reps + 1)]
    out = s.fold_event("LlmResponse", {"role": "assistant", "parts": [], "tool_calls": calls})
    expect(len(out["requests"]) == reps + 1, "tool calls did not emit their ToolRequests")

    def check_request(i, out):
        reqs = out["requests"]
        expect(len(reqs) == 1 and reqs[0]["request"]["type"] == "LlmRequest",
               "UserMessage did not emit one LlmRequest")
        expect(len(reqs[0]["request"]["context"]) >= n, "LlmRequest without the whole history")
        s.cancel_request("LlmRequest")  # so that the next UserMessage is not gated

    def check_silent(i, out):
        expect(out == {"requests": []}, "ToolResult with a call outstanding emitted requests")

    t = timed_rounds({
        "get_state": (lambda i: s.get_state(), None),
        "user": (lambda i: s.fold_event("UserMessage", {"parts": [f"question {i}"]}), check_request),
        "tool": (lambda i: s.fold_event("ToolResult", {
            "key": f"ToolRequest:c{i}", "tool_call_id": f"c{i}", "name": "lookup",
            "content": f"result {i}: {TEXT}", "is_error": False}), check_silent),
    }, reps)
    return s, t["get_state"], t["user"], t["tool"]


def snapshot_costs(s, reps):
    snap = s.snapshot()
    text = snap.to_json()
    data = snap.to_msgpack()
    obj = json.loads(text)
    back = core.Snapshot.from_json(text)
    expect(back.to_json() == text, "snapshot JSON does not read back the same")
    expect(core.Snapshot.from_msgpack(data).to_json() == text, "snapshot MessagePack does not read back")
    compact = json.dumps(obj, separators=(",", ":"))
    expect(json.loads(compact) == obj, "json round trip")
    t = timed_rounds({
        "from_json": (lambda i: core.Snapshot.from_json(text), None),
        "json.loads": (lambda i: json.loads(text), None),
        "from_msgpack": (lambda i: core.Snapshot.from_msgpack(data), None),
        "to_json": (lambda i: snap.to_json(), None),
        "to_msgpack": (lambda i: snap.to_msgpack(), None),
        "json.dumps": (lambda i: json.dumps(obj, separators=(",", ":")), None),
    }, reps)
    t["json_bytes"] = len(text.encode())
    t["msgpack_bytes"] = len(data)
    del obj, back  # not to be swept by the collector between the decodes below
    t["reference_note"] = reference_costs(t, text, data, reps)
    return t


def reference_codec():
    """The reference codec's executable, built (release) into
    $TMPDIR/oracle-target as tools/differential.py builds it; (None, why)
    when it cannot be built."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    src = os.environ.get("VOSTREL_ORACLE_DIR", os.path.join(root, "..", "shared", "oracle"))
    target = os.path.join(tempfile.gettempdir(), "oracle-target")
    exe = os.path.join(target, "release", "oracle")
    if not os.path.isdir(src):
        return None, f"no reference codec at {src}"
    try:
        r = subprocess.run(["cargo", "build", "--release", "--offline", "-q"], cwd=src,
                           env=dict(os.environ, CARGO_TARGET_DIR=target),
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as e:
        return None, f"cargo did not run ({e})"
    if r.returncode != 0 or not os.path.exists(exe):
        return None, "the reference codec did not build (tools/setup.sh oracle installs its crates)"
    return exe, ""


def reference_decode_time(exe, fmt, payload, reps):
    """Median seconds of `reps` typed decodes of one snapshot by the reference codec."""
    out = subprocess.run([exe, "time", "snapshot", fmt, str(reps)], input=payload, check=True,
                         capture_output=True).stdout.decode().split()
    expect(len(out) == 2 and out[0] == "OK", f"reference codec timing of {fmt}: {' '.join(out)}")
    return float(out[1])


def consecutive(fn, reps):
    """Median wall time of `reps` consecutive calls of `fn(i)`, each result
    freed outside its timed window: the way the reference codec's `time`
    command measures itself. The collector is off for the whole series (and
    run once before it), so that no sweep of the interpreter's objects lands
    between two calls."""
    gc.collect()
    gc.disable()
    try:
        times = []
        for i in range(reps):
            start = time.perf_counter()
            result = fn(i)
            times.append(time.perf_counter() - start)
            del result
        return statistics.median(times)
    finally:
        gc.enable()


def reference_costs(snap_times, text, data, reps):
    """The reference codec's decode times of the same snapshot bytes beside
    this module's, both measured alike (see consecutive()); a few rounds
    alternate the two sides so that both see the machine alike, and the
    medians of the rounds count. Adds "ref_json"/"ref_msgpack" and this
    module's "side_by_side_from_*", or returns the reason it could not."""
    exe, why = reference_codec()
    if not exe:
        return why
    rounds = 1 if reps < 5 else 3
    decode = {"json": (lambda i: core.Snapshot.from_json(text), text.encode()),
              "msgpack": (lambda i: core.Snapshot.from_msgpack(data), data)}
    runs = {}
    for _ in range(rounds):
        for fmt, (ours, payload) in decode.items():
            runs.setdefault("side_by_side_from_" + fmt, []).append(consecutive(ours, reps))
            runs.setdefault("ref_" + fmt, []).append(reference_decode_time(exe, fmt, payload, reps))
    for k, v in runs.items():
        snap_times[k] = statistics.median(v)
    return ""


# --- snapshots of four shapes beside the reference codec ---------------------
#
# Each shape is a history of messages as hosts keep them; each is measured at
# two lengths. Every side (this module, the reference codec, json.dumps) runs
# as a fresh process pinned to one core, timing a series of consecutive calls
# on the same input with every result freed outside its timed window; the
# rounds alternate the sides, and the median of the rounds counts.

WORDS = ("the", "weather", "in", "Zurich", "table", "of", "next", "three", "days", "please",
         "show", "me", "a", "summary", "report", "for", "customer", "order", "shipped",
         "yesterday", "and", "what", "is", "status", "invoice", "number", "total", "price",
         "can", "you", "check", "again", "thanks", "error", "retry", "later", "file", "open")
CJK = "".join(chr(c) for c in range(0x4E00, 0x4E00 + 400, 3)) + "ひらがなカタカナ한국어"
INTL_PIECES = ("e\u0301", "n\u0303", "\U0001F600", "\U0001F44D\U0001F3FD",
               "\U0001F468\u200D\U0001F469\u200D\U0001F467", "\U0001F1E8\U0001F1ED",
               "Привет", "Ελληνικά", "naïve café", "\"quoted\"", "back\\slash", "line\nbreak",
               "tab\there", "\x01\x1f", "€ ≤ ∑ ∞")


def chat_text(rng, lo=2, hi=14):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


def long_text(rng):
    size = rng.randint(2000, 8000)
    paragraphs, length = [], 0
    while length < size:
        p = chat_text(rng, 20, 80).capitalize() + "."
        paragraphs.append(p)
        length += len(p) + 2
    return "\n\n".join(paragraphs)[:size]


def intl_text(rng):
    parts = []
    for _ in range(rng.randint(4, 30)):
        r = rng.random()
        if r < 0.4:
            k = rng.randint(0, len(CJK) - 8)
            parts.append(CJK[k:k + rng.randint(2, 8)])
        elif r < 0.75:
            parts.append(rng.choice(INTL_PIECES))
        else:
            parts.append(rng.choice(WORDS))
    return " ".join(parts)


def tool_result(rng):
    size = rng.randint(200, 2000)
    rows = []
    while len(json.dumps(rows)) < size:
        rows.append({"title": chat_text(rng, 2, 6), "url": f"https://example.org/{rng.randint(1, 9999)}",
                     "score": rng.randint(0, 100)})
    return json.dumps(rows)[:size]


def shape_message(shape, i, rng):
    if shape == "tools":
        if i % 3 == 0:
            return {"role": "user", "parts": [chat_text(rng)]}
        if i % 3 == 1:
            args = {"query": chat_text(rng), "limit": rng.randint(1, 50),
                    "filters": {"lang": "en", "since": "2024-05-01", "tags": ["a", "b"]}}
            return {"role": "assistant", "parts": [], "tool_calls": [
                {"id": f"call_{i}", "name": "search", "arguments": json.dumps(args)}]}
        return {"role": "tool", "tool_call_id": f"call_{i - 1}", "name": "search",
                "content": tool_result(rng), "is_error": False}
    text = {"chat": chat_text, "long": long_text, "intl": intl_text}[shape]
    if i % 2 == 0:
        return {"role": "user", "parts": [chat_text(rng) if shape == "long" else text(rng)]}
    return {"role": "assistant", "parts": [text(rng)], "tool_calls": []}


def as_value(obj):
    """The JSON form of a Python object as a Value."""
    if isinstance(obj, bool):
        return {"type": "Bool", "value": obj}
    if isinstance(obj, int):
        return {"type": "Int", "value": obj}
    if isinstance(obj, str):
        return {"type": "Str", "value": obj}
    if isinstance(obj, list):
        return {"type": "List", "value": [as_value(x) for x in obj]}
    return {"type": "Map", "value": {k: as_value(v) for k, v in obj.items()}}


def shape_snapshot(shape, n):
    """A Snapshot whose history holds `n` messages of `shape`."""
    rng = random.Random(f"{shape}/{n}")
    messages = [shape_message(shape, i, rng) for i in range(n)]
    doc = {"pending": [], "event_count": n, "vm_env": {
        "messages": as_value(messages), "input_tokens": as_value(1234),
        "output_tokens": as_value(56), "pending_tools": as_value(0)}}
    return core.Snapshot.from_json(json.dumps(doc, ensure_ascii=False))


def series(fns, reps):
    """Medians of `reps` consecutive calls of each of `fns` (taken in turn):
    the call alone, and the call plus freeing its result (timed after it,
    outside the first window). The collector stays off throughout."""
    gc.collect()
    gc.disable()
    try:
        calls = [[] for _ in fns]
        with_free = [[] for _ in fns]
        for _ in range(reps):
            for k, fn in enumerate(fns):
                start = time.perf_counter()
                result = fn()
                made = time.perf_counter()
                del result
                calls[k].append(made - start)
                with_free[k].append(time.perf_counter() - start)
        return [(statistics.median(c), statistics.median(f)) for c, f in zip(calls, with_free)]
    finally:
        gc.enable()


def shape_child(side, json_path, msgpack_path, reps):
    """One side of one round, in a fresh pinned interpreter: this module's
    decodes of the snapshot files ("decode"), its to_json or to_msgpack of
    the snapshot read from them ("to_json", "to_msgpack"), or json.dumps of
    the same document ("dumps")."""
    with open(json_path, encoding="utf-8") as f:
        text = f.read()
    out = {}
    if side == "dumps":
        obj = json.loads(text)
        dumps = lambda: json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
        (out["json.dumps"], _), = series([dumps], reps)
    elif side in ("to_json", "to_msgpack"):
        snap = core.Snapshot.from_json(text)
        (out[side], _), = series([getattr(snap, side)], reps)
    else:
        with open(msgpack_path, "rb") as f:
            data = f.read()
        (out["from_json"], out["from_json_free"]), = series(
            [lambda: core.Snapshot.from_json(text)], reps)
        (out["from_msgpack"], out["from_msgpack_free"]), = series(
            [lambda: core.Snapshot.from_msgpack(data)], reps)
    return out


def bench_cpu():
    """The core every timed process of the shape table runs on: VOSTREL_BENCH_CPU,
    or the last one this process may use."""
    if "VOSTREL_BENCH_CPU" in os.environ:
        return int(os.environ["VOSTREL_BENCH_CPU"])
    return max(os.sched_getaffinity(0))


def pinned_run(cmd, cpu, **kw):
    return subprocess.run(cmd, preexec_fn=lambda: os.sched_setaffinity(0, {cpu}), check=True,
                          capture_output=True, **kw)


def shape_costs(sizes, rounds, smoke):
    """{(shape, n): medians of this module's and the reference codec's times},
    and a note when the reference codec is missing."""
    exe, why = reference_codec()
    cpu = bench_cpu()
    cases = {}
    with tempfile.TemporaryDirectory() as tmp:
        for shape in ("chat", "long", "tools", "intl"):
            for n in sizes:
                snap = shape_snapshot(shape, n)
                base = os.path.join(tmp, f"{shape}-{n}")
                text, data = snap.to_json().encode(), snap.to_msgpack()
                expect(json.dumps(json.loads(text), ensure_ascii=False, separators=(",", ":"))
                       == text.decode(), f"to_json and json.dumps write {shape} differently")
                with open(base + ".json", "wb") as f:
                    f.write(text)
                with open(base + ".msgpack", "wb") as f:
                    f.write(data)
                reps = 2 if smoke else 21 if len(text) < (4 << 20) else 7
                cases[(shape, n)] = (base, text, data, reps, len(text))
        runs = {key: {} for key in cases}
        for _ in range(rounds):
            for key, (base, text, data, reps, _) in cases.items():
                for side in ("decode", "to_json", "to_msgpack", "dumps"):
                    out = pinned_run([sys.executable, os.path.abspath(__file__), "--shape-child",
                                      side, base + ".json", base + ".msgpack", str(reps)], cpu,
                                     text=True)
                    for k, v in json.loads(out.stdout).items():
                        runs[key].setdefault(k, []).append(v)
                if not exe:
                    continue
                for fmt, payload in (("json", text), ("msgpack", data)):
                    r = pinned_run([exe, "time", "snapshot", fmt, str(reps)], cpu, input=payload)
                    words = r.stdout.decode().split()
                    expect(len(words) == 2 and words[0] == "OK", f"reference codec on {key}")
                    runs[key].setdefault("ref_" + fmt, []).append(float(words[1]))
    medians = {key: {k: statistics.median(v) for k, v in r.items()} for key, r in runs.items()}
    for key in medians:
        medians[key]["json_bytes"] = cases[key][4]
    return medians, why


def shape_table(sizes, rounds, smoke):
    """The lines of the shape table."""
    medians, why = shape_costs(sizes, rounds, smoke)
    head = ("shape", "messages", "JSON", "from_json/ref", "+free", "from_msgpack/ref", "+free",
            "to_json/dumps", "to_msgpack/to_json", "to_msgpack/dumps", "")
    rows = []
    for (shape, n), m in medians.items():
        ok = (m["to_json"] / m["json.dumps"] <= 0.5 and m["to_msgpack"] <= m["to_json"]
              and m["to_msgpack"] / m["json.dumps"] <= 0.5)
        cells = [shape, f"{n:,}", f"{m['json_bytes'] / 1e6:.2f} MB"]
        if why:
            cells += ["", "", "", ""]
        else:
            for fmt in ("json", "msgpack"):
                ref = m["ref_" + fmt]
                cells += [f"{m['from_' + fmt] / ref:.3f}", f"{m['from_' + fmt + '_free'] / ref:.3f}"]
                ok = ok and m["from_" + fmt] <= ref
        cells += [f"{m['to_json'] / m['json.dumps']:.3f}", f"{m['to_msgpack'] / m['to_json']:.3f}",
                  f"{m['to_msgpack'] / m['json.dumps']:.3f}", "ok" if ok else "MISSED"]
        rows.append(cells)
    title = (f"Snapshot shapes, on core {bench_cpu()}: ratios of medians of {rounds} rounds "
             "(targets: from_json/ref and from_msgpack/ref <= 1.0, to_json/dumps <= 0.5, "
             "to_msgpack/to_json <= 1.0, to_msgpack/dumps <= 0.5; "
             "+free: decode and free / the reference codec's decode)")
    lines = [title] + table_lines(head, rows)
    if why:
        lines.append(f"reference codec: skipped, {why}")
    return lines


def big_definition(rules):
    def lit(v):
        return {"op": "Lit", "value": {"type": "Int", "value": v}}
    return json.dumps({
        "name": "big",
        "slots": [{"name": "n", "initial": {"type": "Int", "value": 0}}],
        "rules": [{
            "on": f"Event{i}",
            "guard": {"op": "Gt", "left": {"op": "Ref", "name": "n"}, "right": lit(i)},
            "updates": [{"slot": "n", "expr": {"op": "Add", "left": {"op": "Ref", "name": "n"},
                                               "right": lit(1)}}],
            "emits": [{"op": "Rec", "fields": [
                {"key": "type", "val_expr": {"op": "Lit", "value": {"type": "Str", "value": "Ping"}}},
                {"key": "n", "val_expr": {"op": "Ref", "name": "n"}}]}],
        } for i in range(rules)],
    })


def import_time(reps):
    """Median time of `import vostrel._core` measured inside fresh interpreters."""
    code = ("import time; t = time.perf_counter(); import vostrel._core; "
            "print(time.perf_counter() - t)")
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(core.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (package_root, env.get("PYTHONPATH")) if p)
    times = []
    for _ in range(reps):
        out = subprocess.run([sys.executable, "-c", code], env=env, check=True,
                             capture_output=True, text=True)
        times.append(float(out.stdout))
    return statistics.median(times)


def growth_with_malloc(small, large, reps):
    """Growth of the per-turn costs from `small` to `large` messages, measured
    in a fresh interpreter whose objects come from the C allocator."""
    env = dict(os.environ, PYTHONMALLOC="malloc")
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--growth", str(small),
                          str(large), str(reps)], env=env, check=True, capture_output=True,
                         text=True)
    return json.loads(out.stdout)


def growth(small, large, reps):
    """Growth of the UserMessage and ToolResult folds from `small` to `large`."""
    costs = {n: turn_costs(n, reps)[1:] for n in (small, large)}
    return {name: costs[large][k] / costs[small][k] for name, k in (("UserMessage", 1),
                                                                   ("ToolResult", 2))}


def table_lines(head, rows):
    """The lines of a table: columns as wide as their widest cell."""
    widths = [max(len(str(r[c])) for r in rows + [head]) for c in range(len(head))]
    line = lambda r: "  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip()
    return [line(head), line(["-" * w for w in widths])] + [line(r) for r in rows]


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.3f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3f} ms"
    return f"{seconds * 1e6:.1f} us"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--smoke", action="store_true", help="tiny sizes, no figures worth reading")
    ap.add_argument("--growth", nargs=3, type=int, metavar=("SMALL", "LARGE", "REPS"),
                    help=argparse.SUPPRESS)  # the PYTHONMALLOC=malloc run: prints JSON
    ap.add_argument("--shape-child", nargs=4, metavar=("SIDE", "JSON", "MSGPACK", "REPS"),
                    help=argparse.SUPPRESS)  # one round of the shape table: prints JSON
    ap.add_argument("--shapes-only", action="store_true", help="only the table of snapshot shapes")
    args = ap.parse_args()
    if args.growth:
        print(json.dumps(growth(*args.growth)))
        return
    if args.shape_child:
        side, json_path, msgpack_path, reps = args.shape_child
        print(json.dumps(shape_child(side, json_path, msgpack_path, int(reps))))
        return
    shapes = shape_table([20] if args.smoke else [1000, 10000], 1 if args.smoke else 7, args.smoke)
    if args.shapes_only:
        print("\n".join(shapes))
        return

    sizes = [10, 100] if args.smoke else [10, 1000, 10000]
    reps = 2 if args.smoke else 21
    targets_at = sizes[1:]

    rows = []  # (measurement, size, median, ratio text, target text, verdict)

    def row(what, size, median, ratio=None, target=None, strict=False):
        verdict = ""
        if ratio is not None and target is not None:
            verdict = "ok" if (ratio < target if strict else ratio <= target) else "MISSED"
        rows.append((what, size, fmt_time(median) if median is not None else "",
                     "" if ratio is None else f"{ratio:.3f}",
                     "" if target is None else f"{'<' if strict else '<='} {target}", verdict))

    costs = {}
    session = None
    for n in sizes:
        session, get_state, user, tool = turn_costs(n, reps)
        costs[n] = (get_state, user, tool)
        targeted = n in targets_at
        row("get_state()", n, get_state)
        row("fold_event UserMessage / get_state", n, user, user / get_state, 1.5 if targeted else None)
        row("fold_event ToolResult (silent) / get_state", n, tool, tool / get_state,
            0.5 if targeted else None)
    small, large = sizes[-2], sizes[-1]
    factor = large / small
    with_malloc = growth_with_malloc(small, large, reps)
    for name, k in (("UserMessage", 1), ("ToolResult", 2)):
        row(f"growth of {name} fold, {small} -> {large} messages", f"x{factor:g}", None,
            costs[large][k] / costs[small][k], factor)
        row(f"  the same, PYTHONMALLOC=malloc", f"x{factor:g}", None, with_malloc[name], factor)

    snap = snapshot_costs(session, reps)
    n = f"{large}+"
    row("Snapshot.from_json / json.loads", n, snap["from_json"],
        snap["from_json"] / snap["json.loads"], 0.7)
    row("json.loads (baseline)", n, snap["json.loads"])
    row("Snapshot.to_json / json.dumps", n, snap["to_json"], snap["to_json"] / snap["json.dumps"], 0.5)
    row("json.dumps (baseline)", n, snap["json.dumps"])
    row("Snapshot.to_msgpack / to_json", n, snap["to_msgpack"], snap["to_msgpack"] / snap["to_json"],
        1.0)
    row("Snapshot.from_msgpack / from_json", n, snap["from_msgpack"],
        snap["from_msgpack"] / snap["from_json"], 0.6)
    if snap["reference_note"]:
        row(f"Snapshot vs reference codec: skipped, {snap['reference_note']}", n, None)
    else:
        for fmt in ("json", "msgpack"):
            mine, ref = snap[f"side_by_side_from_{fmt}"], snap[f"ref_{fmt}"]
            row(f"Snapshot.from_{fmt} / reference codec", n, mine, mine / ref, 1.0)
            row(f"reference codec {fmt} decode (baseline)", n, ref)
    row("MessagePack bytes / JSON bytes", f"{snap['msgpack_bytes']}/{snap['json_bytes']}", None,
        snap["msgpack_bytes"] / snap["json_bytes"], 1, strict=True)

    row("import vostrel._core (fresh interpreter)", "", import_time(1 if args.smoke else 7))
    row("stdlib()", "", timed(lambda i: core.stdlib(), reps))
    definition = big_definition(100)
    t = core.load_transducer(definition)
    expect(t.name == "big", "load_transducer of the 100-rule definition")
    row("load_transducer (100 rules)", f"{len(definition)} B",
        timed(lambda i: core.load_transducer(definition), reps))

    head = ("measurement", "size", "median", "ratio", "target", "")
    print(f"vostrel._core module benchmarks ({'smoke run' if args.smoke else f'medians of {reps} runs'})")
    print("\n".join(table_lines(head, rows)))
    print()
    print("\n".join(shapes))


if __name__ == "__main__":
    main()
