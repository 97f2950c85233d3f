# Two commands do all set-up: `make demo` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: deps configure build test demo bench clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: build
	@bash scripts/demo.sh $(BUILD)

bench: build
	@bash scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-tsan
