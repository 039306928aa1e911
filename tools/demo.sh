#!/usr/bin/env bash
# Runs the example hosts against the module of the dev build (make demo
# builds it first): the agent host (one agent session end to end), then the
# network host (three agents with a delegation and a handoff).
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(tools/python313.sh --need)
if ! ls build/dev/python/vostrel/_core*.so >/dev/null 2>&1; then
  echo "demo: no module in build/dev/python/vostrel (make demo builds it)" >&2
  exit 1
fi
export PYTHONPATH=build/dev/python
"$py" examples/agent_host.py
echo
echo "=== network host ==="
"$py" examples/network_host.py
