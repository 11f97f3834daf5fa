# Every target sets itself up from a fresh machine: find Python 3.13, make .venv,
# install the module with the extras it needs, then run.
SHELL := /bin/bash
PYTHON313 := $(shell for p in python3.13 $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13; do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip install --disable-pip-version-check -q
SOURCES := $(shell find src -name '*.cpp' -o -name '*.hpp') CMakeLists.txt pyproject.toml knotwell_rs-stubs/__init__.pyi

.PHONY: all install test demo bench bench-quick clean

all: install

$(VENV)/.venv-ok:
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found (neither python3.13 nor pyenv's 3.13)"; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP) "scikit-build-core>=0.10" "numpy>=2.1"
	touch $@

$(VENV)/.installed: $(VENV)/.venv-ok $(SOURCES)
	$(PIP) --no-build-isolation ".[test]"
	touch $@

install: $(VENV)/.installed

test: install
	$(PY) -m pytest tests

demo: install
	$(PY) examples/quickstart.py

$(VENV)/.bench-ok: $(VENV)/.installed
	$(PIP) --no-build-isolation ".[bench]"
	touch $@

bench: $(VENV)/.bench-ok
	$(PY) -m bench

bench-quick: $(VENV)/.bench-ok
	$(PY) -m bench --quick

clean:
	rm -rf build $(VENV)
