# Quick start: `make demo` runs the main job end to end; `make test` runs every test.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
CPP_BUILD := build/cpp

.PHONY: all deps venv sysdeps build-cpp test-cpp install test-python test demo format format-check clean

all: install

# Debian packages the C++ build and tests need (only when running as root and missing).
sysdeps:
	@missing=""; \
	[ -f /usr/include/openssl/evp.h ] || missing="$$missing libssl-dev"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing Debian packages:$$missing (install them as root)"; exit 1; \
	  fi; \
	fi

$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

deps: sysdeps venv

build-cpp: deps
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DKARNID_BUILD_TESTS=ON -DKARNID_BUILD_PYTHON=OFF -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja)
	$(VENV)/bin/cmake --build $(CPP_BUILD) -j $(JOBS)

test-cpp: build-cpp
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure -j $(JOBS)

# Builds the wheel in build/ (kept between runs) and installs it into the virtual environment.
install: deps
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VPY) -m pip install -q --no-build-isolation .

test-python: install
	$(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: install
	$(VPY) -m karnid_manifest demo demo-out

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build demo-out
