#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, ASan + UBSan) and runs each
# over its corpus.
#
#   tools/fuzz.sh [options] [TARGET...]
#     -t SECONDS   time per target (default 30)
#     -p N         targets run at once (default 2)
#     --merge      afterwards, minimise what the runs found into fuzz/corpus/
#     --build-only build the targets and stop
#   JOBS=n limits the build's parallelism (default 3).
#
# Targets default to every fuzz/targets/*.cpp. Inputs found during a run are
# kept in build/fuzz/corpus/<target>/ (the committed corpus is only read);
# a crashing input is written to build/fuzz/artifacts/<target>/ and makes
# the script fail. To fuzz for longer, raise -t (for example -t 3600), and
# use --merge to fold the new inputs into the committed corpus.
#
# Installs clang and its libFuzzer runtime from Debian's packages when they
# are missing (tools/setup.sh fuzz, as root).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=30
parallel=2
merge=0
build_only=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -t) seconds="$2"; shift 2 ;;
    -p) parallel="$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    --build-only) build_only=1; shift ;;
    -h|--help) sed -n '2,19p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

# clang 19 and its libFuzzer runtime (installed if missing); FUZZ_CXX may
# name another clang.
if [ -z "${FUZZ_CXX:-}" ]; then
  tools/setup.sh fuzz
fi
cxx=${FUZZ_CXX:-clang++-19}

build=build/fuzz
pyexe=$(tools/python313.sh)
pyexe=${pyexe:-$(command -v python3)}
CXX="$cxx" cmake -S fuzz -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython3_EXECUTABLE="$pyexe" >/dev/null
cmake --build "$build" -j "${JOBS:-3}"
[ "$build_only" = 1 ] && exit 0

if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/targets/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi

# The dictionary of a target: MessagePack tokens for the MessagePack
# readers (and the round trip, which reads both), JSON tokens otherwise.
dict_of() {
  case "$1" in
    *msgpack*|roundtrip) echo fuzz/dicts/msgpack.dict ;;
    *) echo fuzz/dicts/json.dict ;;
  esac
}

run_one() {
  local t=$1
  local work="$build/corpus/$t" art="$build/artifacts/$t"
  mkdir -p "$work" "$art" "fuzz/corpus/$t"
  "$build/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
    -dict="$(dict_of "$t")" -artifact_prefix="$art/" -print_final_stats=1 \
    "$work" "fuzz/corpus/$t" >"$build/$t.log" 2>&1 && echo 0 >"$build/$t.rc" || echo 1 >"$build/$t.rc"
}

failed=()
running=0
for t in "${targets[@]}"; do
  if [ ! -x "$build/fuzz_$t" ]; then
    echo "fuzz.sh: no target $t" >&2
    exit 2
  fi
  rm -f "$build/$t.rc"
  run_one "$t" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait
for t in "${targets[@]}"; do
  if [ "$(cat "$build/$t.rc" 2>/dev/null)" = 0 ]; then status=ok; else status=FAILED; failed+=("$t"); fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$t.log" | grep -o '[0-9]*$' || true)
  printf 'fuzz %-24s %-6s %s executions in %ss\n' "$t" "$status" "${execs:-?}" "$seconds"
done

if [ "$merge" = 1 ]; then
  for t in "${targets[@]}"; do
    tmp="$build/merged/$t"
    rm -rf "$tmp"
    mkdir -p "$tmp"
    "$build/fuzz_$t" -merge=1 -timeout=25 -rss_limit_mb=2560 "$tmp" "fuzz/corpus/$t" \
      "$build/corpus/$t" >"$build/$t.merge.log" 2>&1
    rm -rf "fuzz/corpus/$t"
    mv "$tmp" "fuzz/corpus/$t"
    echo "fuzz $t: corpus of $(ls "fuzz/corpus/$t" | wc -l) inputs"
  done
fi

if [ ${#failed[@]} -gt 0 ]; then
  for t in "${failed[@]}"; do
    echo "--- $t ($build/$t.log):" >&2
    grep -E 'ERROR|fuzz check failed|SUMMARY|Test unit written|^  ' "$build/$t.log" | head -20 >&2
  done
  exit 1
fi
