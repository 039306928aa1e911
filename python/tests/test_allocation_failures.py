"""One allocation failing: a call that fails for want of memory raises
MemoryError, leaves its object as it was and keeps nothing it had made.

A child interpreter runs with an allocator shim preloaded (failing_malloc.c,
built here) and PYTHONMALLOC=malloc, so that Python's objects and the
engine's memory both come from the shim. For each of the last allocations of
a call, the call is made with that allocation failing, then repeated a few
times the same way, and the blocks in use are compared before and after the
repeats. Skipped without a C compiler and under the sanitizer build, whose
allocator the shim would replace."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
COMPILER = shutil.which("cc") or shutil.which("gcc")
SANITIZED = os.environ.get("VOSTREL_SANITIZED") or "asan" in os.environ.get("LD_PRELOAD", "")

# Repeats of each failing call, and the blocks they may leave in all: once
# its free lists are filled, CPython's own failure path keeps nothing, so
# a call that leaks even one object goes over.
REPEATS = 6
ALLOWED_GROWTH = 2

CHILD = textwrap.dedent('''
    import ctypes, gc, json, sys
    from vostrel import _core as core

    shim = ctypes.CDLL(sys.argv[1])
    shim.shim_fail_at.argtypes = [ctypes.c_long]
    shim.shim_fail_at.restype = None
    shim.shim_disarm.restype = None
    shim.shim_allocations.restype = ctypes.c_long
    shim.shim_blocks_in_use.restype = ctypes.c_long

    STDLIB = core.stdlib()
    LLM = core.SessionConfig(json.dumps({"dispatch_rules": [["LlmRequest", "LlmResponse"]],
                                         "outbound_checks": [], "inbound_checks": []}))
    HISTORY = [{"role": "user", "parts": [f"message {i}"], "tool_calls": []} for i in range(12)]

    def agent():
        a = core.AgentSession(STDLIB, LLM)
        a.boot(*core.session_init(HISTORY))
        return a

    def coordinator():
        c = core.Coordinator()
        for i in ("p", "c"):
            c.spawn_session(i)
        c.start_processing("p")
        c.add_route("p", "c", "Task", "Result")
        return c

    def network():
        return core.NetworkSession(["e", "h", "t"], [("e", "h")], [("e", "t")], "e")

    # A text past 32 MiB is written straight into the str that returns it.
    BIG = core.Snapshot.from_json(json.dumps({
        "pending": ["LlmRequest"], "event_count": 3,
        "vm_env": {"m": {"type": "List", "value": [{"type": "Str", "value": "x" * (40 << 20)}]}}}))

    # name: (make the object, the call, what must not change)
    CASES = {
        "AgentSession.fold_event": (
            agent, lambda a: a.fold_event("UserMessage", {"parts": ["hi", {"k": [1, None]}]}),
            lambda a: (a.snapshot().to_json(), a.pending, a.events_processed, a.event_log)),
        "Coordinator.spawn_session": (
            coordinator, lambda c: c.spawn_session("x"),
            lambda c: (c.sessions(), c.delegation_graph())),
        "Coordinator.delegate_to": (
            coordinator, lambda c: c.delegate_to("p", "c", "Task", {"k": [1, {"x": "y"}]}),
            lambda c: (c.sessions(), c.delegation_graph())),
        "Snapshot.to_json": (
            lambda: agent().snapshot(), lambda s: s.to_json(), lambda s: (s.pending, s.event_count)),
        "Snapshot.to_json, 40 MiB": (
            lambda: BIG, lambda s: s.to_json(), lambda s: (s.pending, s.event_count)),
        "Snapshot.to_msgpack": (
            lambda: agent().snapshot(), lambda s: s.to_msgpack(),
            lambda s: (s.pending, s.event_count)),
        "NetworkSession.fold_event": (
            network, lambda n: n.fold_event("DelegationRequested", {"parent": "e", "child": "h"}),
            lambda n: ({i: n.session(i) for i in "eht"}, n.delegation_graph(), n.active_agent)),
    }

    def disarm():
        try:
            shim.shim_disarm()
        except MemoryError:  # the one failure hit this call; it is spent now
            shim.shim_disarm()

    def raises(o, call, k):
        """Whether the call raises MemoryError with its k-th allocation failing."""
        try:
            shim.shim_fail_at(k)
            call(o)
        except MemoryError:
            disarm()
            return True
        disarm()
        return False

    def failures(o, call, k, n):
        """How many of n calls in a row raise MemoryError: a call may take a
        block from a free list that an earlier one filled, and go through."""
        count = 0
        while count < n and raises(o, call, k):
            count += 1
        return count

    def allocations(o, call):
        shim.shim_fail_at(0)
        call(o)
        return shim.shim_allocations()

    make, call, view = CASES[sys.argv[2]]
    window, repeats = int(sys.argv[3]), int(sys.argv[4])
    # The call's own allocations: the count around it less that around nothing.
    total = allocations(make(), call) - allocations(None, lambda o: None)
    rows = []
    for k in range(max(1, total - window + 1), total + 1):
        o = make()
        before = view(o)
        if not raises(o, call, k):
            rows.append({"k": k, "raised": 0})
            continue
        same = view(o) == before
        # The first two failures fill free lists; the blocks are counted after.
        warmed = failures(o, call, k, 1)
        gc.collect()
        blocks = shim.shim_blocks_in_use()
        repeated = failures(o, call, k, repeats) if warmed else 0
        gc.collect()
        growth = shim.shim_blocks_in_use() - blocks
        rows.append({"k": k, "raised": 1 + warmed + repeated, "growth": growth, "same": same})
    print(json.dumps({"total": total, "rows": rows}))
''')


@unittest.skipIf(SANITIZED, "the sanitizer's allocator cannot be replaced by the shim")
@unittest.skipIf(COMPILER is None, "no C compiler to build the allocator shim")
class OneAllocationFailingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.shim = os.path.join(cls.dir.name, "failing_malloc.so")
        subprocess.run([COMPILER, "-O2", "-shared", "-fPIC", "-o", cls.shim,
                        os.path.join(HERE, "failing_malloc.c")], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def sweep(self, case, window):
        env = dict(os.environ, LD_PRELOAD=self.shim, PYTHONMALLOC="malloc")
        done = subprocess.run([sys.executable, "-c", CHILD, self.shim, case, str(window),
                               str(REPEATS)], capture_output=True, text=True, timeout=300, env=env)
        self.assertEqual(done.returncode, 0, done.stderr[-3000:])
        return json.loads(done.stdout)

    def test_failed_calls_change_nothing_and_keep_nothing(self):
        # The last allocations of each call build its result; the fold's
        # window reaches back into the engine's own work.
        for case, window in [("AgentSession.fold_event", 400),
                             ("Coordinator.spawn_session", 100),
                             ("Coordinator.delegate_to", 100),
                             ("NetworkSession.fold_event", 100),
                             ("Snapshot.to_json", 100),
                             ("Snapshot.to_json, 40 MiB", 100),
                             ("Snapshot.to_msgpack", 100)]:
            with self.subTest(case):
                swept = self.sweep(case, window)
                failed = [row for row in swept["rows"] if row["raised"]]
                repeated = [row for row in failed if row["raised"] == 2 + REPEATS]
                self.assertGreater(len(repeated), len(failed) // 2, swept)
                for row in failed:
                    self.assertTrue(row["same"], row)
                for row in repeated:
                    self.assertLessEqual(row["growth"], ALLOWED_GROWTH, row)


if __name__ == "__main__":
    unittest.main()
