#!/usr/bin/env bash
# Runs the example hosts against the freshly built module: the agent host
# (one agent session end to end), then the network host if it is there.
# Without a built module it falls back to the engine tests.
set -euo pipefail
py="$(tools/python313.sh)/bin/python3.13"
if [ -f examples/agent_host.py ] && ls build/dev/python/vostrel/_core*.so >/dev/null 2>&1; then
  export PYTHONPATH=build/dev/python
  "$py" examples/agent_host.py
  if [ -f examples/network_host.py ]; then
    echo
    echo "=== network host ==="
    "$py" examples/network_host.py
  fi
  exit 0
fi
exec build/dev/engine_tests --gtest_brief=1
