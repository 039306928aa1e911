# `make` (or `make demo`) builds the module and runs the example hosts;
# `make test` builds and runs every test (plain and sanitizer builds);
# `make help` lists every target.
#
# JOBS=n     at most n compile and test jobs at once (default: the presets' 8)
# PYTHON=... the CPython 3.13 to build against (default: pyenv's newest
#            3.13.x, else python3.13 on PATH; tools/python313.sh)
.DEFAULT_GOAL := demo
MAKEFLAGS += --no-print-directory

PY313 := $(shell PYTHON='$(PYTHON)' tools/python313.sh)
# The test suites and benchmarks are on by default in CMakeLists.txt; said
# here too, so that a build directory configured without them gets them back.
CMAKE_DEFS := -DPython3_EXECUTABLE=$(PY313) -DVOSTREL_TESTS=ON
JOBS_FLAG := $(if $(JOBS),-j $(JOBS))

.PHONY: help setup dev asan test test-dev test-asan test-python demo bench clean
.PHONY: fuzz differential test-python-asan install-check typecheck tsan test-tsan

help:
	@echo "make demo              build the module and run the example hosts (the default)"
	@echo "make test              every test: the dev build, then the ASan/UBSan build"
	@echo "make test-dev          the tests of the dev build only"
	@echo "make test-tsan         the engine tests under ThreadSanitizer"
	@echo "make test-python       only the Python tests, against build/dev/python"
	@echo "make test-python-asan  the Python tests against the sanitizer build"
	@echo "make bench             the engine and module benchmarks"
	@echo "make install-check     cmake --install into a temporary prefix and import from there"
	@echo "make typecheck         pyright over the type stub, the README's examples and examples/"
	@echo "make fuzz              the libFuzzer targets, FUZZ_SECONDS each (default 30)"
	@echo "make differential      the readers against the reference codec, DIFF_COUNT documents"
	@echo "make clean             remove build/"
	@echo "JOBS=n limits parallel jobs; PYTHON=/path/to/python3.13 picks the interpreter"

setup:
	@tools/setup.sh

# Configures and builds one preset: $(1) the preset, $(2) the targets
# (empty: everything).
define build
	cmake --preset $(1) $(CMAKE_DEFS) >/dev/null
	cmake --build --preset $(1) $(JOBS_FLAG) $(if $(2),--target $(2))
endef

dev: setup
	$(call build,dev)

asan: setup
	$(call build,asan)

test-dev: dev
	ctest --preset dev $(JOBS_FLAG)

test-asan: asan
	ctest --preset asan $(JOBS_FLAG)

test: test-dev test-asan

# The engine and its tests under ThreadSanitizer (no Python module); any
# report fails the run.
tsan: setup
	$(call build,tsan)

test-tsan: tsan
	ctest --preset tsan $(JOBS_FLAG)

# The Python suites alone (the same run as ctest's python_tests).
test-python: setup
	$(call build,dev,_core)
	PYTHONPATH=build/dev/python VOSTREL_SOURCE_DIR=$(CURDIR) \
	  $(PY313) -m unittest discover -s python/tests -t python/tests

# The demo needs the module only.
demo: setup
	$(call build,dev,_core)
	tools/demo.sh

bench: dev
	tools/bench.sh

# A build of the module alone (no GoogleTest, no benchmarks), installed into
# a temporary prefix and imported from there.
install-check: setup
	tools/install_check.sh

# The type stub (strictly), the README's Python blocks and the example
# hosts, checked by pyright from the npm registry.
typecheck:
	tools/typecheck.sh

# The libFuzzer targets of fuzz/, FUZZ_SECONDS each (default 30). Installs
# clang 19 when it is missing.
fuzz:
	JOBS=$(or $(JOBS),3) tools/fuzz.sh -t $(or $(FUZZ_SECONDS),30)

# The readers against the reference codec, whose sources sit beside the
# checkout (../shared/oracle, or VOSTREL_ORACLE_DIR): DIFF_COUNT seeded
# documents. Skipped, with a note, where they are not there or do not build.
ORACLE_DIR := $(or $(VOSTREL_ORACLE_DIR),$(abspath ../shared/oracle))
differential:
ifeq ($(wildcard $(ORACLE_DIR)/Cargo.toml),)
	@echo "differential: skipped: no reference codec at $(ORACLE_DIR) (VOSTREL_ORACLE_DIR names another place)"
else
	tools/setup.sh oracle || echo "differential: the reference codec's crates are not installed"
	JOBS=$(or $(JOBS),3) tools/fuzz.sh --build-only
	VOSTREL_ORACLE_DIR=$(ORACLE_DIR) tools/differential.py --count $(or $(DIFF_COUNT),20000) \
	  --seed $(or $(DIFF_SEED),1) --show 3; s=$$?; [ $$s -eq 3 ] || exit $$s
endif

# The Python tests against the sanitizer build of the module.
test-python-asan: asan
	tools/python_asan.sh

clean:
	rm -rf build
