#!/usr/bin/env bash
# Runs the Python tests against the module of the sanitizer build
# (build/asan, `make asan`), with the interpreter preloading the ASan
# runtime that the module links against. Memory errors and undefined
# behaviour abort the test run; leaks are reported by LeakSanitizer, except
# the strings that the interpreter itself never frees at exit.
set -euo pipefail
cd "$(dirname "$0")/.."

py=$(tools/python313.sh --need)
module=$(ls build/asan/python/vostrel/_core*.so 2>/dev/null | head -1)
if [ -z "$module" ]; then
  echo "python_asan: no sanitizer build of the module (make asan)" >&2
  exit 1
fi

supp=$(mktemp)
trap 'rm -f "$supp"' EXIT
# Interned strings stay allocated when the interpreter exits.
echo "leak:PyUnicode_New" >"$supp"
# So do the dotted names the parser joins (`import a.b`), made by a resize;
# plain CPython reports them for `python3.13 -c "import email.mime.text"`.
echo "leak:resize_compact" >>"$supp"

export LD_PRELOAD
LD_PRELOAD=$(g++ -print-file-name=libasan.so)
# The suites' resident-memory checks skip under VOSTREL_SANITIZED: ASan's
# quarantine of freed blocks grows the resident memory on purpose.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Every allocation through malloc, so that ASan sees the objects too.
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/build/asan/python"
export VOSTREL_SOURCE_DIR="$PWD"
export VOSTREL_SANITIZED=1
"$py" -m unittest discover -s python/tests -t python/tests
