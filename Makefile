# Everything a fresh machine needs: `make demo` and `make test` create the virtual environment,
# install the dependencies from PyPI, build and install the module, then do their job.

VENV      ?= .venv
BUILD_DIR ?= build/$(notdir $(VENV))
# A venv on another interpreter than the default: PYTHON_VERSION=3.12 (see tools/find-python).
PYTHON_VERSION ?=
# Extra pins for the venv's packages, e.g. the lowest versions the project supports.
PIP_CONSTRAINTS ?=
EXTRA_BUILD_FLAGS ?=
PY        := $(VENV)/bin/python
BUILD_FLAGS = --quiet --no-build-isolation --no-deps \
             -C build-dir=$(BUILD_DIR) -C cmake.define.QVC_WERROR=ON $(EXTRA_BUILD_FLAGS)
PIP_BUILD  = $(PY) -m pip install $(BUILD_FLAGS)

# The sanitizer build lives in a venv of its own; the interpreter is not instrumented, so the
# sanitizer runtime is preloaded into it and objects are allocated with malloc, where the
# sanitizer sees them.
ASAN_VENV := .venv-asan
ASAN_RUNTIME = $(shell $${CXX:-g++} -print-file-name=libasan.so)
ASAN_ENV   = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
             ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1 \
             UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all venv build switches-build test demo test-asan test-threads test-leaks fuzz bench clean \
        test-matrix wheel module-wheel test-wheel

all: build

$(VENV)/.ready: tools/requirements-dev.txt tools/find-python $(PIP_CONSTRAINTS)
	rm -rf $(VENV)
	"$$(tools/find-python $(PYTHON_VERSION))" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r tools/requirements-dev.txt $(if $(PIP_CONSTRAINTS),-c $(PIP_CONSTRAINTS))
	touch $@

venv: $(VENV)/.ready

build: venv
	$(PIP_BUILD) .
	$(PY) -m pip install --quiet --no-build-isolation "./cli[cluster]" $(if $(PIP_CONSTRAINTS),-c $(PIP_CONSTRAINTS))

# The switchable build answers the tests that ask which plan a call chose.
test: build switches-build
	QVC_SWITCHES_PYTHON=$(abspath $(SWITCHES_VENV))/bin/python $(PY) -m pytest -q tests

demo: build
	$(PY) tools/demo.py

test-asan:
	$(MAKE) VENV=$(ASAN_VENV) BUILD_DIR=build/asan \
	    EXTRA_BUILD_FLAGS="-C cmake.define.QVC_SANITIZE=ON -C cmake.build-type=RelWithDebInfo" build
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# The tokenizer splits large texts on two threads, the encoder reads files on a worker thread,
# the decoder writes files on one and decodes may run on two threads at once: their tests under
# ThreadSanitizer, preloaded like the address sanitizer above.
TSAN_VENV := .venv-tsan
TSAN_ENV   = LD_PRELOAD=$(shell $${CXX:-g++} -print-file-name=libtsan.so) PYTHONMALLOC=malloc \
             TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0

test-threads:
	$(MAKE) VENV=$(TSAN_VENV) BUILD_DIR=build/tsan \
	    EXTRA_BUILD_FLAGS="-C cmake.define.QVC_SANITIZE_THREADS=ON -C cmake.build-type=RelWithDebInfo" build
	$(TSAN_ENV) $(TSAN_VENV)/bin/python -m pytest -q -p no:cacheprovider tests/test_tokenizer.py \
	    tests/test_encoder.py tests/test_encoder_file_reading.py \
	    tests/test_decoder_file_writing.py tests/test_decoder.py::test_two_threads_decoding_at_once

# Every public operation, success and failure paths, thousands of times: neither live objects
# nor the process's memory may grow.
test-leaks: build
	$(PY) tests/leak_check.py

# The whole suite on every interpreter from 3.11 to 3.13 on this machine (tools/each-python).
test-matrix:
	tools/each-python test

# Wheels in dist/: the module's for every interpreter from 3.11 to 3.13 on this machine, each
# built where that interpreter's `make test` builds and repaired to a manylinux tag, and the
# command line's pure one.
DIST := dist
wheel:
	rm -rf $(DIST)
	tools/each-python module-wheel
	$(MAKE) --no-print-directory venv
	$(PY) -m pip install --quiet -r tools/requirements-wheel.txt
	PATH="$(abspath $(VENV))/bin:$$PATH" $(PY) -m auditwheel repair --wheel-dir $(DIST) $(DIST)/raw/*.whl
	rm -rf $(DIST)/raw
	$(PY) -m pip wheel --quiet --no-deps --no-build-isolation --wheel-dir $(DIST) ./cli
	ls $(DIST)

module-wheel: venv
	$(PY) -m pip wheel $(BUILD_FLAGS) --wheel-dir $(DIST)/raw .

# Each wheel installed where no compiler can be found, and a build from a read-only checkout.
test-wheel: wheel
	$(PY) -m pytest -q -p no:cacheprovider tests/install_check.py

# FUZZ_SECONDS per target (default 60).
fuzz:
	tools/fuzz.sh

# A build whose fast paths can be switched off one at a time (QVC_FAST_PATHS_OFF), in a venv of
# its own: the benchmarks measure each path's gain with it, and the tests ask it which plan a call
# chose (QVC_PLAN_TRACE).
SWITCHES_VENV = $(VENV)-switches
switches-build:
	$(MAKE) --no-print-directory VENV=$(SWITCHES_VENV) BUILD_DIR=build/$(notdir $(SWITCHES_VENV)) \
	    EXTRA_BUILD_FLAGS="-C cmake.define.QVC_FAST_PATH_SWITCHES=ON" build

# All benchmarks in one table (BENCH_FLAGS=--quick for a short run).
bench: build switches-build
	$(PY) bench/run_all.py --switches-python $(SWITCHES_VENV)/bin/python $(BENCH_FLAGS)

clean:
	rm -rf build dist .venv .venv-* .pytest_cache .hypothesis
