"""Running out of memory: a call that fails for want of memory raises
MemoryError and leaves its object as it was, and freeing never aborts.

Each case runs in a child interpreter under an address-space limit set a
little above what the child already uses; skipped where the platform has no
such limit, and under the sanitizer build, whose shadow memory needs an
unlimited address space."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
from concurrent.futures import ThreadPoolExecutor

try:
    import resource
except ImportError:  # not a POSIX platform
    resource = None

SKIP = (resource is None or not hasattr(resource, "RLIMIT_AS")
        or os.environ.get("VOSTREL_SANITIZED")
        or "asan" in os.environ.get("LD_PRELOAD", ""))

PRELUDE = textwrap.dedent('''
    import json, resource
    from vostrel import _core as core

    def limit(extra_mib):
        """Caps the address space at what is in use plus `extra_mib`."""
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS,
                           (vm + int(extra_mib * 2**20), resource.RLIM_INFINITY))

    def unlimit():
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

    def expect_memory_error(call):
        try:
            call()
        except MemoryError:
            return
        raise AssertionError("no MemoryError")

    # A slot doubled by StrCat on every "D", beside one that must survive.
    DOUBLING = core.load_transducer(json.dumps({"name": "d",
        "slots": [{"name": "s", "initial": ["Str", "xy"]},
                  {"name": "keep", "initial": ["Str", "important"]}],
        "rules": [{"on": "D", "guard": {"op": "Lit", "value": ["Bool", True]}, "emits": [],
                   "updates": [{"slot": "s", "expr": {"op": "StrCat",
                       "left": {"op": "Ref", "name": "s"}, "right": {"op": "Ref", "name": "s"}}}]}]}))
    NO_ROUTING = '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'
''')


def start_child(script, *args, **env):
    """Runs `script` in a child interpreter, with `args` as its argv and
    `env` added to its environment; returns the finished process."""
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=300, env=dict(os.environ, **env))


def run_child(body):
    """Runs PRELUDE + body in a child interpreter; returns its stdout."""
    done = start_child(PRELUDE + textwrap.dedent(body))
    if done.returncode != 0:
        raise AssertionError(f"child exited with {done.returncode}:\n{done.stderr[-3000:]}")
    return done.stdout


# Reads a snapshot (argv[1]) under a cap of argv[2] MiB (a fraction allowed)
# above the memory in use, on the thread argv[3] names: the main thread, or a
# worker that has not called the module before, started before the module
# was loaded or after; prints how the call ended. The heap is trimmed first,
# so that the cap leaves no free pages behind: the first allocation that
# fails may be any small one, the runtime's own included. The worker is a
# daemon, so that a main thread that fails before letting it go ends the
# child at once instead of waiting on it.
FIRST_FAILURE = textwrap.dedent('''
    import ctypes, sys, threading
    go = threading.Event()

    def worker():
        go.wait()
        read()

    where = sys.argv[3]
    thread = None if where == "main" else threading.Thread(target=worker, daemon=True)
    if where == "old worker":
        thread.start()
''') + PRELUDE + textwrap.dedent('''
    text = open(sys.argv[1]).read()

    def read():
        try:
            core.Snapshot.from_json(text)
            print("result")
        except MemoryError:
            print("MemoryError")

    if where == "new worker":
        thread.start()
    ctypes.CDLL(None).malloc_trim(0)
    limit(float(sys.argv[2]))
    if thread:
        go.set()
        thread.join()
    else:
        read()
''')


@unittest.skipIf(SKIP, "no address-space limit here")
class MemoryLimitTest(unittest.TestCase):
    def test_a_fold_that_runs_out_changes_nothing(self):
        # 16 MiB of slot, 24 MiB to spare: the next doubling does not fit.
        out = run_child('''
            def agent():
                return core.AgentSession([DOUBLING], core.SessionConfig(NO_ROUTING))
            def plain():
                return core.Session([DOUBLING], core.SessionConfig(NO_ROUTING))
            def continuation():
                return core.ContinuationSession([DOUBLING], NO_ROUTING)
            cases = [
                ("AgentSession.fold_event", agent, lambda o: o.fold_event("D", {}),
                 lambda o: (o.pending, o.events_processed, o.event_log)),
                ("AgentSession.boot", agent, lambda o: o.boot("D", {}),
                 lambda o: (o.pending, o.events_processed, o.event_log)),
                ("Session.step", plain, lambda o: o.step("D", {}),
                 lambda o: (o.pending, o.events_processed)),
                ("ContinuationSession.fold_event", continuation,
                 lambda o: o.fold_event("D", {}), lambda o: ()),
            ]
            for name, make, call, counters in cases:
                o = make()
                for _ in range(23):
                    call(o)
                before = counters(o)
                limit(24)
                expect_memory_error(lambda: call(o))
                unlimit()
                state = o.get_state()
                assert len(state["s"]) == 2**24 and state["keep"] == "important", name
                assert counters(o) == before, (name, counters(o), before)
                del state
                call(o)  # with memory to spare, the same call goes through
                assert len(o.get_state()["s"]) == 2**25, name
                del o
                print(name, "ok")
        ''')
        self.assertEqual(out.split().count("ok"), 4, out)

    def test_an_effect_that_cannot_be_handed_over_changes_nothing(self):
        # The request data goes in whole (16 MiB); its dict for the effect
        # does not fit beside it, after the coordinator has written.
        out = run_child('''
            co = core.Coordinator()
            for s in ("p", "c"):
                co.spawn_session(s)
            co.add_route("p", "c", "Ask", "Answer")
            co.start_processing("p")
            data = {"big": "x" * 2**24}
            before = (co.sessions(), co.delegation_graph())
            limit(24)
            expect_memory_error(lambda: co.delegate_to("p", "c", "Ask", data))
            unlimit()
            assert (co.sessions(), co.delegation_graph()) == before, co.sessions()
            effect = co.delegate_to("p", "c", "Ask", data)
            assert len(effect["request_data"]["big"]) == 2**24
            assert co.session("p")["waiting_on"] == ["c"]
            print("ok")
        ''')
        self.assertIn("ok", out)

    def test_appending_to_a_history_a_snapshot_shares(self):
        # The snapshot shares the history, so the append must copy its
        # 8 MiB of values; 4 MiB to spare.
        out = run_child('''
            cfg = core.SessionConfig(json.dumps({"dispatch_rules": [["LlmRequest", "LlmResponse"]],
                                                 "outbound_checks": [], "inbound_checks": []}))
            a = core.AgentSession(core.stdlib(), cfg)
            a.boot(*core.session_init(list(range(500_000))))
            kept = a.snapshot()
            limit(4)
            expect_memory_error(lambda: a.fold_event("UserMessage", {"parts": ["hi"]}))
            unlimit()
            assert (a.pending, a.events_processed, a.event_log) == ([], 1, ["SessionInit"])
            assert a.snapshot().to_json() == kept.to_json()
            requests = a.fold_event("UserMessage", {"parts": ["hi"]})["requests"]
            assert len(requests) == 1 and a.pending == ["LlmRequest"]
            assert len(a.get_state()["messages"]) == 500_001
            print("ok")
        ''')
        self.assertIn("ok", out)

    def test_the_first_exception_of_a_thread_never_aborts(self):
        # A thread's first C++ exception is usually the one that reports
        # memory running out, and the runtime's per-thread state for it must
        # not need memory then. One malloc arena, so that the worker draws on
        # the capped heap rather than on an arena it reserved before the cap.
        # Reading the snapshot takes about 33 MiB beyond its text: the caps
        # run from none at all, where the very first allocation fails, up to
        # about that, where the failure comes late in the read. Each kind of
        # thread must run out at least once, or its first throw went untried.
        from vostrel import _core as core
        history = [{"role": "user", "parts": [f"message {i}"], "tool_calls": []}
                   for i in range(60_000)]
        agent = core.AgentSession(core.stdlib(), core.SessionConfig(
            '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'))
        agent.boot(*core.session_init(history))
        threads = ("main", "new worker", "old worker")
        caps = (0, 0.25, 0.5, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32)
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "snapshot.json")
            with open(path, "w") as f:
                f.write(agent.snapshot().to_json())
            del agent, history
            runs = [(thread, cap) for thread in threads for cap in caps]
            with ThreadPoolExecutor(4) as pool:
                ended = list(pool.map(lambda run: start_child(
                    FIRST_FAILURE, path, str(run[1]), run[0], MALLOC_ARENA_MAX="1"), runs))
        table = [(thread, cap, done.returncode, done.stdout.strip() or done.stderr[-200:])
                 for (thread, cap), done in zip(runs, ended)]
        self.assertEqual([row for row in table
                          if row[2] != 0 or row[3] not in ("MemoryError", "result")], [])
        unproved = [thread for thread in threads
                    if "MemoryError" not in [row[3] for row in table if row[0] == thread]]
        self.assertEqual(unproved, [], "no cap ran these threads out of memory: "
                         + ", ".join(unproved) + f"\n{table}")

    def test_freeing_a_long_history_needs_no_memory(self):
        # 16 million items: collecting them to free them took 256 MiB.
        out = run_child('''
            a = core.AgentSession(core.stdlib(), core.SessionConfig(NO_ROUTING))
            context = [0] * 16_000_000
            a.boot(*core.session_init(context))
            del context
            limit(64)
            del a
            unlimit()
            print("ok")
        ''')
        self.assertIn("ok", out)


if __name__ == "__main__":
    unittest.main()
