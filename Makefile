# The two commands: `make test` and `make demo`. Both install what is missing first.
BUILD_DIR := build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all setup configure build prefix test demo bench stress dist clean

all: build

setup:
	@scripts/setup-machine.sh

configure: setup
	@cmake --preset mingw >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS)

prefix: setup
	@scripts/wine-prefix-init

test: build prefix
	@cd $(BUILD_DIR) && ctest --output-on-failure -j$(JOBS) --timeout 600

# Builds only the starter and the sample itself, quietly (scripts/demo.sh).
demo: setup prefix
	@scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR) dist

bench: build prefix
	@scripts/setup-machine.sh hyperfine time curl
	@scripts/bench.sh

stress: build prefix
	@scripts/stress.sh

# The release package: dist/qor-starter-<version>/ and its zip (scripts/dist.py checks both).
dist: configure
	@cmake --build $(BUILD_DIR) -j$(JOBS) --target QorStarter qor_launcher_kit_dll qorroot
	@QOR_BUILD_DIR=$(CURDIR)/$(BUILD_DIR) python3 scripts/dist.py
