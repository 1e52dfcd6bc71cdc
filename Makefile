# Thin wrapper over the CMake presets. Both entry points install the Debian
# packages they need first, so they work on a fresh Debian 12 machine.

PRESET    ?= default
BUILD_DIR := build/$(PRESET)
PREFIX    := $(CURDIR)/build/install

BUILD_PACKAGES := cmake make g++ pkg-config qtbase5-dev libqt5serialport5-dev libudev-dev libssl-dev
TEST_PACKAGES  := umockdev libumockdev-dev libglib2.0-dev openssl ca-certificates libbenchmark-dev
BENCH_PACKAGES := valgrind

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo check bench deps-build deps-test configure build install

demo: deps-test install
	@sh tools/demo/run-demo.sh "$(PREFIX)"

check: deps-test build
	QT_QPA_PLATFORM=offscreen ctest --preset $(PRESET)

# Every figure beside its reference, measured in one run; build/bench/results.json.
bench: deps-test build
	@sh tools/install-deps.sh "$(SUDO)" $(BENCH_PACKAGES)
	sh bench/run-bench.sh $(BUILD_DIR) build/bench

deps-build:
	@sh tools/install-deps.sh "$(SUDO)" $(BUILD_PACKAGES)

deps-test: deps-build
	@sh tools/install-deps.sh "$(SUDO)" $(TEST_PACKAGES)

configure:
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

install: build
	cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"
