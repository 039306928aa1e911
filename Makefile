# Entry points: `make demo` builds everything and runs the example host;
# `make test` builds and runs every test (plain and sanitizer builds).
PY313 := $(shell tools/python313.sh)
CMAKE_PY := -DPython3_ROOT_DIR=$(PY313) -DPython3_EXECUTABLE=$(PY313)/bin/python3.13

.PHONY: setup dev asan test test-dev test-asan demo bench clean

setup:
	@tools/setup.sh

dev: setup
	cmake --preset dev $(CMAKE_PY) >/dev/null
	cmake --build --preset dev

asan: setup
	cmake --preset asan $(CMAKE_PY) >/dev/null
	cmake --build --preset asan

test-dev: dev
	ctest --preset dev

test-asan: asan
	ctest --preset asan

test: test-dev test-asan

demo: dev
	tools/demo.sh

bench: dev
	tools/bench.sh

clean:
	rm -rf build
