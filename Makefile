# Everything a fresh machine needs: `make demo` and `make test` create the virtual environment,
# install the dependencies from PyPI, build and install the module, then do their job.

VENV      ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
PY        := $(VENV)/bin/python
PIP_BUILD := $(PY) -m pip install --quiet --no-build-isolation --no-deps \
             -C build-dir=$(BUILD_DIR) -C cmake.define.QVC_WERROR=ON

.PHONY: all venv build test demo clean

all: build

$(VENV)/.ready: tools/requirements-dev.txt tools/find-python
	rm -rf $(VENV)
	"$$(tools/find-python)" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r tools/requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

build: venv
	$(PIP_BUILD) .

test: build
	$(PY) -m pytest -q tests

demo: build
	$(PY) tools/demo.py

clean:
	rm -rf build .venv .pytest_cache .hypothesis
