#!/usr/bin/env bash
# Checks that this machine has what the build needs and installs what is
# missing from Debian's packages (as root). Fails with a clear message for
# anything it cannot install.
#
#   tools/setup.sh          the build and the tests
#   tools/setup.sh fuzz     also clang 19 with its libFuzzer runtime (fuzz/)
#   tools/setup.sh oracle   also the Rust crates of the reference codec
#                           (tools/differential.py)
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
for extra in "$@"; do
  case "$extra" in
    fuzz)
      command -v clang++-19 >/dev/null || missing+=(clang-19)
      ls /usr/lib/llvm-19/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        missing+=(libclang-rt-19-dev)
      ;;
    oracle)
      command -v cargo >/dev/null || missing+=(cargo)
      for crate in serde serde-derive serde-json rmp-serde; do
        dpkg -s "librust-$crate-dev" >/dev/null 2>&1 || missing+=("librust-$crate-dev")
      done
      ;;
    *) echo "setup: unknown component $extra" >&2; exit 2 ;;
  esac
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]} (install them with apt-get as root)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# CPython 3.13 is not a Debian package of this release: say what to install.
tools/python313.sh --need >/dev/null
