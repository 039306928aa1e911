#!/usr/bin/env bash
# Builds the module alone (no test suites, no benchmarks: neither GoogleTest
# nor Google Benchmark may be needed, which the configure step enforces),
# installs it with `cmake --install` into a temporary prefix, and checks the
# package laid out there: exactly vostrel/__init__.py, vostrel/_core*.so,
# vostrel/_core.pyi and vostrel/py.typed, importable by an isolated
# interpreter that has nothing but the prefix on its path. The build is
# configured without a build type and must come out optimised; and
# configuring against a free-threaded interpreter must stop with the reason.
#
#   tools/install_check.sh      (JOBS=n limits the build's parallelism)
set -euo pipefail
cd "$(dirname "$0")/.."

py=$(tools/python313.sh --need)
build=build/install-check
prefix=$(mktemp -d)
fake=$(mktemp -d)
trap 'rm -rf "$prefix" "$fake"' EXIT

# No build type, as in the README's commands: the build must be optimised
# all the same (a cache left by an earlier run would hide the default).
rm -f "$build/CMakeCache.txt"
cmake -S . -B "$build" --no-warn-unused-cli -DPython3_EXECUTABLE="$py" \
  -DVOSTREL_TESTS=OFF -DVOSTREL_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
if ! grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt"; then
  echo "install check: a build given no build type is not a Release build" >&2
  exit 1
fi
# The build's output only when it fails.
if ! cmake --build "$build" -j "${JOBS:-4}" >"$build/build.log" 2>&1; then
  cat "$build/build.log" >&2
  exit 1
fi
cmake --install "$build" --prefix "$prefix" >/dev/null

# Configuring against a free-threaded interpreter stops and says why. No such
# interpreter is at hand, so one is played by the same interpreter whose
# sysconfig reports Py_GIL_DISABLED. CMake wraps the message's lines.
cat >"$fake/sitecustomize.py" <<'EOF'
import sysconfig
real_get_config_var = sysconfig.get_config_var
sysconfig.get_config_var = lambda name: 1 if name == "Py_GIL_DISABLED" else real_get_config_var(name)
EOF
printf '#!/bin/sh\nPYTHONPATH=%s exec %s "$@"\n' "$fake" "$py" >"$fake/python3.13t"
chmod +x "$fake/python3.13t"
if cmake -S . -B "$fake/build" -DPython3_EXECUTABLE="$fake/python3.13t" -DVOSTREL_TESTS=OFF \
     -DVOSTREL_BENCH=OFF >"$fake/configure.log" 2>&1 \
   || ! tr -s ' \n' ' ' <"$fake/configure.log" | grep -q "does not support free-threaded builds"; then
  cat "$fake/configure.log" >&2
  echo "install check: configuring against a free-threaded interpreter did not stop with the reason" >&2
  exit 1
fi

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
