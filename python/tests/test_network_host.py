"""The network example host runs to completion against the built module."""

import os
import pathlib
import subprocess
import sys
import unittest

SOURCE_DIR = pathlib.Path(os.environ.get("VOSTREL_SOURCE_DIR",
                                         pathlib.Path(__file__).resolve().parents[2]))
EXAMPLE = SOURCE_DIR / "examples" / "network_host.py"


class NetworkHostTest(unittest.TestCase):
    def test_runs_and_exits_zero(self):
        done = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                              timeout=60, env=os.environ.copy())
        self.assertEqual(done.returncode, 0, done.stderr)
        out = done.stdout
        self.assertIn("[2] DelegationRequested(parent=triage, child=researcher)\n"
                      "    requests: AgentRequest(researcher)\n"
                      "    delegations: triage -> researcher\n", out)
        self.assertIn("(asked again while pending: 0 requests)", out)
        self.assertIn("[6] HandoffRequested(src=triage, dst=writer)\n"
                      "    requests: AgentRequest(writer)\n", out)
        self.assertTrue(out.rstrip().splitlines()[-1].startswith("answer: Pack layers"))


if __name__ == "__main__":
    unittest.main()
