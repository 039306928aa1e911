"""Building a network costs O(n log n) in its routes: a chain of 16,000
delegation or handoff routes boots in well under a second."""

import os
import time
import unittest

import vostrel._core as core

# The sanitizer build runs several times slower.
BUDGET = 1.0 * (5 if os.environ.get("VOSTREL_SANITIZED") else 1)


class NetworkBootTest(unittest.TestCase):
    def test_a_long_chain_of_routes_boots_fast(self):
        n = 16_000
        chain = [(f"agent-{i}", f"agent-{i + 1}") for i in range(n)]
        for name, delegation, handoff in [("delegation", chain, []), ("handoff", [], chain)]:
            start = time.perf_counter()
            s = core.NetworkSession([], delegation, handoff, "agent-0")
            took = time.perf_counter() - start
            self.assertLess(took, BUDGET, name)
            # Every agent of a handoff chain exists from the start; of a
            # delegation chain only the entry point.
            self.assertEqual(s.agent_status(f"agent-{n}"), "idle" if handoff else None)
            self.assertEqual(s.agent_status("agent-0"), "idle")


if __name__ == "__main__":
    unittest.main()
