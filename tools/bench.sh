#!/usr/bin/env bash
# Runs every engine benchmark, then the module benchmarks. Arguments go to
# the module benchmark script (for example --smoke).
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(tools/python313.sh --need)
for b in build/dev/bench/bench_*; do
  [ -x "$b" ] && "$b"
done
if [ -f bench/bench_module.py ]; then PYTHONPATH=build/dev/python "$py" bench/bench_module.py "$@"; fi
