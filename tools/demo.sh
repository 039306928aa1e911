#!/usr/bin/env bash
# Runs the example host against the freshly built module.
set -euo pipefail
py="$(tools/python313.sh)/bin/python3.13"
if [ -f examples/agent_host.py ] && ls build/dev/python/vostrel/_core*.so >/dev/null 2>&1; then
  PYTHONPATH=build/dev/python exec "$py" examples/agent_host.py
fi
exec build/dev/engine_tests --gtest_brief=1
