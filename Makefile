# Entry points. Every target installs what is missing first, so a fresh machine
# needs nothing but these commands.

BUILD      ?= build
JOBS       ?= $(shell nproc)
PYTHON     ?= /usr/bin/python3
CMAKE_ARGS ?=

.PHONY: all deps configure build demo test test-cpp test-python bench clean sanitize fuzz ct-check

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

# Hardening runs, kept out of `test`: sanitizers (build-asan, build-tsan),
# libFuzzer harnesses (build-fuzz, FUZZ_SECONDS per harness) and the
# constant-time check under valgrind (build-ct).
FUZZ_SECONDS ?= 60

sanitize: deps
	@./fuzz/run-sanitize $(JOBS) $(PYTHON)

fuzz: deps
	@./fuzz/run-fuzz $(FUZZ_SECONDS) $(JOBS)

ct-check: deps
	@./fuzz/ct/run-ct $(JOBS)
