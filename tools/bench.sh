#!/usr/bin/env bash
# Runs the engine benchmarks, then the module benchmarks when they exist.
set -euo pipefail
py="$(tools/python313.sh)/bin/python3.13"
if [ -x build/dev/bench/bench_engine ]; then build/dev/bench/bench_engine; fi
if [ -f bench/bench_module.py ]; then PYTHONPATH=build/dev/python "$py" bench/bench_module.py "$@"; fi
