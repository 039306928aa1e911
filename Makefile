# Entry points: `make demo` builds everything and runs the example host;
# `make test` builds and runs every test (plain and sanitizer builds).
# JOBS=n limits the parallel build and test jobs (default: the presets' 8).
PY313 := $(shell tools/python313.sh)
CMAKE_PY := -DPython3_ROOT_DIR=$(PY313) -DPython3_EXECUTABLE=$(PY313)/bin/python3.13

.PHONY: setup dev asan test test-dev test-asan demo bench clean
.PHONY: fuzz differential test-python-asan

# The libFuzzer targets of fuzz/, FUZZ_SECONDS each (default 30).
fuzz:
	JOBS=$(or $(JOBS),3) tools/fuzz.sh -t $(or $(FUZZ_SECONDS),30)

# The readers against the reference codec: DIFF_COUNT seeded documents.
# Skipped (with a note) where the reference codec does not build.
differential:
	tools/setup.sh oracle || echo "differential: the reference codec's crates are not installed"
	JOBS=$(or $(JOBS),3) tools/fuzz.sh --build-only
	tools/differential.py --count $(or $(DIFF_COUNT),20000) --seed $(or $(DIFF_SEED),1) --show 3; \
	  s=$$?; [ $$s -eq 3 ] || exit $$s

# The Python tests against the sanitizer build of the module.
test-python-asan: asan
	tools/python_asan.sh

setup:
	@tools/setup.sh

dev: setup
	cmake --preset dev $(CMAKE_PY) >/dev/null
	cmake --build --preset dev $(if $(JOBS),-j $(JOBS))

asan: setup
	cmake --preset asan $(CMAKE_PY) >/dev/null
	cmake --build --preset asan $(if $(JOBS),-j $(JOBS))

test-dev: dev
	ctest --preset dev $(if $(JOBS),-j $(JOBS))

test-asan: asan
	ctest --preset asan $(if $(JOBS),-j $(JOBS))

test: test-dev test-asan

demo: dev
	tools/demo.sh

bench: dev
	tools/bench.sh

clean:
	rm -rf build
