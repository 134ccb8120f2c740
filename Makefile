# Quick start: `make demo` runs the main job end to end; `make test` runs every test.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
CPP_BUILD := build/cpp
DIST := dist
RAW_WHEEL := build/wheel-unrepaired
CPP_SAN_BUILD := build/cpp-san
PY_SAN_BUILD := build/py-san
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := manifest row_map index_header path
PY_FUZZ_TARGETS := signature_bundle private_key explain cli_argv
FUZZ_LLVM := 19
FUZZ_CXX := clang++-$(FUZZ_LLVM)
# Runtime settings of the sanitized runs: stop at the first report, with a stack trace.
UBSAN_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: all deps deps-build sysdeps-build sysdeps-test venv venv-build venv-wheel venv-test \
	build-cpp test-cpp build-cpp-san test-cpp-san install test-python wheel test-wheel \
	check-sdist test test-sanitize test-faults sysdeps-faults fuzz-deps fuzz demo bench bench-full bench-leaks format format-check clean

all: install

# Installs the Debian packages named in $$missing (as root; otherwise says what is missing).
APT_INSTALL = if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing Debian packages:$$missing (install them as root)"; exit 1; \
	  fi; \
	fi

# Debian packages that building needs: the compiler, OpenSSL's headers, and the headers and venv
# module of the interpreter that runs the build (Debian's own python3 ships them separately).
sysdeps-build:
	@missing=""; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	[ -f /usr/include/openssl/evp.h ] || missing="$$missing libssl-dev"; \
	$(PYTHON) -c 'import ensurepip, venv' 2>/dev/null || missing="$$missing python3-venv"; \
	$(PYTHON) -c 'import os, sys, sysconfig; \
	  sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
	  2>/dev/null || missing="$$missing python3-dev"; \
	$(APT_INSTALL)

# What the C++ tests need besides.
sysdeps-test:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	$(APT_INSTALL)

# .venv holds the build tools; the wheel tools and the test tools are added only by the targets
# that need them, so that building, installing and the demo never fetch either.
$(VENV)/.stamp-build: requirements-build.txt | sysdeps-build
	[ -x $(VPY) ] || $(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-build.txt
	touch $@

$(VENV)/.stamp-wheel: requirements-wheel.txt $(VENV)/.stamp-build
	$(VPY) -m pip install -q -r requirements-wheel.txt
	touch $@

$(VENV)/.stamp-fuzz: requirements-fuzz.txt $(VENV)/.stamp-build
	$(VPY) -m pip install -q -r requirements-fuzz.txt
	touch $@

$(VENV)/.stamp-test: requirements-test.txt $(VENV)/.stamp-build
	$(VPY) -m pip install -q -r requirements-test.txt
	touch $@

venv-build: $(VENV)/.stamp-build
venv-wheel: $(VENV)/.stamp-wheel
venv-test: $(VENV)/.stamp-test
venv: venv-build venv-wheel venv-test

deps-build: sysdeps-build venv-build
deps: deps-build sysdeps-test venv

# The unit tests need optimisation only for the warnings it enables; -O1 without debug information
# halves the compile time of the test build.
build-cpp: deps-build sysdeps-test
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O1" -DKARNID_BUILD_TESTS=ON -DKARNID_BUILD_PYTHON=OFF -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: build-cpp
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure -j $(JOBS)

# The same C++ suite (fuzz corpus replays included) under AddressSanitizer and
# UndefinedBehaviorSanitizer.
build-cpp-san: deps-build sysdeps-test
	$(VENV)/bin/cmake -S . -B $(CPP_SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARNID_BUILD_TESTS=ON -DKARNID_BUILD_PYTHON=OFF -DKARNID_SANITIZE=ON \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(CPP_SAN_BUILD) -j $(JOBS)

test-cpp-san: build-cpp-san
	cd $(CPP_SAN_BUILD) && ASAN_OPTIONS=detect_stack_use_after_return=1 $(UBSAN_ENV) \
	  $(abspath $(VENV)/bin/ctest) --output-on-failure -j $(JOBS)

# Builds the module in build/ (kept between runs) and installs it into .venv.
# The package with its signing extra (pyca/cryptography, a run-time dependency of the optional
# signing commands), so that the demo shows them too.
install: deps-build
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VPY) -m pip install -q --no-build-isolation '.[signing]'

# The quick loop: the Python suite on .venv's interpreter against the module `install` built.
test-python: install venv-test
	$(VPY) -m pytest -q tests/python

# The release files in dist/: the sdist and one abi3 wheel, repaired by auditwheel (libcrypto
# copied in under a name of its own, the manylinux tag set) and checked by abi3audit. The wheel is
# built from the checkout in the build folder that `install` uses, so it costs only what changed.
wheel: deps-build venv-wheel
	rm -rf $(DIST) $(RAW_WHEEL)
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VPY) -m build --sdist --no-isolation -o $(DIST) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VPY) -m build --wheel --no-isolation -o $(RAW_WHEEL) .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w $(DIST) $(RAW_WHEEL)/*.whl
	$(VENV)/bin/abi3audit --strict --verbose $(DIST)/*.whl
	@wheels=$$(ls $(DIST)/*.whl | wc -l); sdists=$$(ls $(DIST)/*.tar.gz | wc -l); \
	if [ "$$wheels" != 1 ] || [ "$$sdists" != 1 ]; then \
	  echo "dist/ should hold one wheel and one sdist:"; ls $(DIST); exit 1; \
	fi; ls -l $(DIST)

# The Python suite against the wheel in dist/ on every CPython from 3.11 up that the machine has,
# one virtual environment each under .venvs/. Extra pytest arguments through PYTEST_ARGS.
test-wheel: wheel
	$(VPY) tools/test_wheel.py $(DIST)/*.whl $(PYTEST_ARGS)

# The sdist alone, built and installed in a fresh virtual environment of the newest interpreter
# (pip fetches the build requirements), then imported and called.
check-sdist: wheel
	@py=$$($(VPY) tools/test_wheel.py --newest) && rm -rf build/sdist-check && \
	$$py -m venv build/sdist-check && \
	build/sdist-check/bin/python -m pip install -q $(DIST)/*.tar.gz && \
	cd build && sdist-check/bin/python -c 'import _karnid_manifest as km, karnid_manifest; \
	  print(km.__file__); print(km.default_resource_limits()["max_manifest_bytes"])'

test: test-cpp test-wheel

# The Python tests against a sanitized build of the module. The interpreter itself is not
# instrumented, so the ASan runtime is preloaded; leak detection is off because the interpreter
# keeps memory until exit by design. The sanitized module is found first through PYTHONPATH and
# the installed one stays untouched.
test-sanitize: install venv-test
	$(VENV)/bin/cmake -S . -B $(PY_SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARNID_BUILD_PYTHON=ON -DKARNID_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(VPY)) \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(PY_SAN_BUILD) -j $(JOBS) --target _karnid_manifest
	ASAN_OPTIONS=detect_leaks=0 $(UBSAN_ENV) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" \
	  PYTHONPATH="$(abspath $(PY_SAN_BUILD))/bindings:$(abspath python)" \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python

# The fault runs in full: 200 SIGKILLs at random instants of `create --force` and `sign --force`,
# then every I/O call of create, sign, verify and plan failed in turn with EIO and ENOSPC through
# libfiu (fiu-utils, installed when run as root), then five passes of 8 threads x 200 calls while
# another process changes the files. The Python suite runs 20 kills, a sample of the matrix and
# two passes.
FAULT_KILLS ?= 200
sysdeps-faults:
	@missing=""; \
	command -v fiu-run >/dev/null || missing="$$missing fiu-utils"; \
	command -v cc >/dev/null || missing="$$missing gcc"; \
	$(APT_INSTALL)

test-faults: install venv-test sysdeps-faults
	$(VPY) tests/faults/kill_writes.py --kills $(FAULT_KILLS)
	$(VPY) tests/faults/io_faults.py --build build/faults
	$(VPY) tests/faults/stress.py --threads 8 --calls 200 --passes 5

# clang and its sanitizer and libFuzzer runtimes (Debian packages; installed when running as root).
fuzz-deps:
	@missing=""; \
	command -v $(FUZZ_CXX) >/dev/null || missing="$$missing clang-$(FUZZ_LLVM)"; \
	ls /usr/lib/llvm-$(FUZZ_LLVM)/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
	  || missing="$$missing libclang-rt-$(FUZZ_LLVM)-dev"; \
	$(APT_INSTALL)

# Builds the libFuzzer targets and runs each for FUZZ_SECONDS. The checked-in seeds are copied
# into a working corpus under build/ that grows from run to run; findings land in
# $(FUZZ_BUILD)/findings and each log in $(FUZZ_BUILD)/logs.
fuzz: install $(VENV)/.stamp-fuzz fuzz-deps
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKARNID_BUILD_FUZZ=ON -DKARNID_BUILD_TESTS=OFF \
	  -DKARNID_BUILD_PYTHON=OFF -DKARNID_WERROR=OFF -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/findings $(FUZZ_BUILD)/logs
	@scratch=$$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp ); status=0; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t && cp -n fuzz/corpus/$$t/* $(FUZZ_BUILD)/corpus/$$t/; \
	  dict=""; [ -f fuzz/$$t.dict ] && dict="-dict=fuzz/$$t.dict"; \
	  case $$t in row_map) extra=-max_len=20000;; *) extra=-max_len=8192;; esac; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  TMPDIR=$$scratch $(FUZZ_BUILD)/fuzz/fuzz_$$t $$dict $$extra -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/findings/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t > $(FUZZ_BUILD)/logs/$$t.log 2>&1 || status=1; \
	  grep -E '^#[0-9]+[[:space:]]+DONE' $(FUZZ_BUILD)/logs/$$t.log || tail -n 30 $(FUZZ_BUILD)/logs/$$t.log; \
	done; \
	for t in $(PY_FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/py_$$t; \
	  case $$t in explain) seeds=fuzz/corpus/manifest;; *) seeds=fuzz/corpus/py_$$t;; esac; \
	  cp -n $$seeds/* $(FUZZ_BUILD)/corpus/py_$$t/; \
	  echo "fuzzing the Python layer: $$t for $(FUZZ_SECONDS) s"; \
	  (cd fuzz/python && TMPDIR=$$scratch $(abspath $(VPY)) fuzz_$$t.py -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 -artifact_prefix=$(abspath $(FUZZ_BUILD))/findings/py_$$t- \
	    $(abspath $(FUZZ_BUILD))/corpus/py_$$t) > $(FUZZ_BUILD)/logs/py_$$t.log 2>&1 || status=1; \
	  grep -E '^stat::number_of_executed_units' $(FUZZ_BUILD)/logs/py_$$t.log || tail -n 30 $(FUZZ_BUILD)/logs/py_$$t.log; \
	done; \
	exit $$status

demo: install
	$(VPY) -m karnid_manifest demo demo-out

# Benchmarks against references measured in the same run (never part of `make test`). `bench` is
# the quick version (256 MiB files, a 500,000-line row map); `bench-full` uses the full sizes
# (1 GiB files, 2,000,000 lines). Extra options through BENCH_ARGS, e.g. BENCH_ARGS="--only a,c".
bench: install
	$(VPY) bench/run_bench.py $(BENCH_ARGS)

bench-full: install
	$(VPY) bench/run_bench.py --full $(BENCH_ARGS)

# The leak checks of the Python suite with 100,000 calls of each function and path instead of
# 20,000: resident memory and the reference counts of the arguments.
bench-leaks: install venv-test
	KARNID_LEAK_CALLS=100000 $(VPY) -m pytest -q -p no:cacheprovider tests/python/test_resources.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build dist demo-out
