#!/usr/bin/env bash
# Builds the module alone (no test suites, no benchmarks: neither GoogleTest
# nor Google Benchmark may be needed, which the configure step enforces),
# installs it with `cmake --install` into a temporary prefix, and checks the
# package laid out there: exactly vostrel/__init__.py, vostrel/_core*.so,
# vostrel/_core.pyi and vostrel/py.typed, importable by an isolated
# interpreter that has nothing but the prefix on its path.
#
#   tools/install_check.sh      (JOBS=n limits the build's parallelism)
set -euo pipefail
cd "$(dirname "$0")/.."

py=$(tools/python313.sh --need)
build=build/install-check
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake -S . -B "$build" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$py" \
  -DVOSTREL_TESTS=OFF -DVOSTREL_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
# The build's output only when it fails.
if ! cmake --build "$build" -j "${JOBS:-4}" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  exit 1
fi
cmake --install "$build" --prefix "$prefix" >/dev/null

cd /
"$py" -I - "$prefix" <<'EOF'
import pathlib, sys

prefix = pathlib.Path(sys.argv[1])
sys.path[:] = [str(prefix)] + [p for p in sys.path if "site-packages" not in p]
package = prefix / "vostrel"
files = sorted(p.name for p in package.iterdir())
core = [f for f in files if f.startswith("_core.") and f.endswith(".so")]
expected = sorted(["__init__.py", "_core.pyi", "py.typed"] + core)
if len(core) != 1 or files != expected:
    sys.exit(f"install check: {package} holds {files}")

import vostrel._core as core_module

where = pathlib.Path(core_module.__file__).resolve()
if where.parent != package.resolve():
    sys.exit(f"install check: vostrel._core came from {where}, not from {package}")
session = core_module.AgentSession(core_module.stdlib(), core_module.SessionConfig(
    '{"dispatch_rules":[],"outbound_checks":[],"inbound_checks":[]}'))
session.boot(*core_module.session_init([]))
if session.fold_event("UserMessage", {"parts": ["hi"]})["requests"][0]["action"] != "Dispatch":
    sys.exit("install check: the installed module does not answer a user message")
print(f"install check: ok ({', '.join(files)})")
EOF
