# Entry points. Every target installs what is missing first, so a fresh machine
# needs nothing but these commands.

BUILD      ?= build
JOBS       ?= $(shell nproc)
PYTHON     ?= /usr/bin/python3
CMAKE_ARGS ?=

.PHONY: all deps configure build demo test test-cpp test-python bench clean

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@./scripts/demo $(BUILD)

test: build
	@./scripts/run-tests $(BUILD)

bench: build
	@./scripts/run-bench $(BUILD)

clean:
	rm -rf $(BUILD)
