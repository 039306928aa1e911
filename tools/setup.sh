#!/usr/bin/env bash
# Checks that this machine has what the build needs and installs what is
# missing from Debian's packages (as root). Fails with a clear message for
# anything it cannot install.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || missing+=(libgmock-dev)
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]} (install them with apt-get as root)" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

py=$(tools/python313.sh)
if [ -z "$py" ]; then
  echo "setup: CPython 3.13 not found (expected from 'pyenv prefix 3.13.0')" >&2
  exit 1
fi
