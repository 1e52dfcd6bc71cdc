# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Thin wrapper over the CMake presets. Both entry points install the Debian
# packages they need first, so they work on a fresh Debian 12 machine.

PRESET    ?= default
BUILD_DIR := build/$(PRESET)
PREFIX    := $(CURDIR)/build/install

# The library, vexbusctl (whose fleet view reads the broker) and
# vexbus-emulator need the first list; vexbusd adds SQLite for its update
# history.
TOOLS_BUILD_PACKAGES := cmake make g++ pkg-config qtbase5-dev libqt5serialport5-dev libudev-dev libssl-dev scdoc libmosquitto-dev
BUILD_PACKAGES := $(TOOLS_BUILD_PACKAGES) libsqlite3-dev
# The demo builds no tests, no vexbusd and no vexbus-release, and shows the
# mocked platform with umockdev-run. It installs them without the packages
# they only recommend: on a fresh Debian 12 that is 214 packages instead of
# 321 (176 MB instead of 231 MB to fetch).
DEMO_PACKAGES  := $(TOOLS_BUILD_PACKAGES) umockdev
TEST_PACKAGES  := reuse umockdev libumockdev-dev libglib2.0-dev openssl ca-certificates libbenchmark-dev udev bash-completion dbus-daemon systemd mosquitto \
                  libqt5serialbus5-dev libdbus-1-dev \
                  qtdeclarative5-dev qtdeclarative5-dev-tools qtquickcontrols2-5-dev qml-module-qttest qml-module-qtquick2 \
                  qml-module-qtquick-controls2 qml-module-qtquick-layouts qml-module-qtquick-window2 qml-module-qtquick-dialogs \
                  fonts-dejavu-core
BENCH_PACKAGES := valgrind strace
SANITIZE_PACKAGES := clang libclang-rt-14-dev
QT6_PACKAGES   := qt6-base-dev qt6-serialport-dev qt6-declarative-dev qt6-declarative-dev-tools qml6-module-qttest \
                  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-window \
                  qml6-module-qtquick-templates qml6-module-qtquick-dialogs qml6-module-qtqml qml6-module-qtqml-models \
                  qml6-module-qtqml-workerscript
DEB_PACKAGES   := debhelper dpkg-dev lintian
DOCS_PACKAGES  := doxygen
DEB_DIR        := build/deb

FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
FLEET_GATEWAYS ?= 20

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo check check-qt6 bench deb docs deps-build deps-test configure build install
.PHONY: check-sanitize fuzz deps-sanitize soak fleet-sim deps-deb deps-docs deps-demo abi-baseline

# The library and the two tools the demo runs, in a tree of their own
# (build/demo): a first run builds no test suite, benchmarks, fuzz targets,
# service or release signer.
demo: deps-demo
	cmake --preset demo
	cmake --build --preset demo
	cmake --install build/demo --prefix "$(PREFIX)"
	@sh tools/demo/run-demo.sh "$(PREFIX)"

# The suite runs on the Qt 5 build, then on the Qt 6 one. The tools and the
# service ship built with Qt 5 (the packages), so the Qt 6 tree compiles
# them but not their behaviour suites and the soaks (NIVORA_BUILD_TOOL_SUITES
# off), and its run leaves out the checks of the tree (the qt6 test preset's
# filter); it runs the library's, the QML module's and the installed
# consumer's.
check: deps-test build
	QT_QPA_PLATFORM=offscreen ctest --preset $(PRESET)
ifeq ($(PRESET),default)
	@$(MAKE) --no-print-directory check-qt6
endif

check-qt6: deps-test
	@sh tools/install-deps.sh "$(SUDO)" $(QT6_PACKAGES)
	cmake --preset qt6
	cmake --build --preset qt6
	QT_QPA_PLATFORM=offscreen ctest --preset qt6

# Every figure beside its reference, measured in one run; build/bench/results.json.
bench: deps-test build
	@sh tools/install-deps.sh "$(SUDO)" $(BENCH_PACKAGES)
	sh bench/run-bench.sh $(BUILD_DIR) build/bench

deps-build:
	@sh tools/install-deps.sh "$(SUDO)" $(BUILD_PACKAGES)

deps-demo:
	@sh tools/install-deps.sh "$(SUDO)" --no-install-recommends $(DEMO_PACKAGES)

deps-test: deps-build
	@sh tools/install-deps.sh "$(SUDO)" $(TEST_PACKAGES)

deps-sanitize: deps-test
	@sh tools/install-deps.sh "$(SUDO)" $(SANITIZE_PACKAGES)

# The whole suite built with clang, ASan and UBSan (build/sanitize), but
# for the benchmarks, whose figures mean nothing there and whose smoke runs
# the Qt 5 suite keeps, and for the soaks and the fleet simulation (label
# fleet): harnesses around many vexbusd, whose code tst_vexbusd already
# runs under the sanitizers, and for the checks of the tree. The tree is
# built for what the sanitizers need: -O1 and line tables for their reports.
check-sanitize: deps-sanitize
	$(MAKE) check PRESET=sanitize

# Each fuzz target for FUZZ_SECONDS, in the sanitize tree.
fuzz: deps-sanitize
	cmake --preset sanitize
	cmake --build --preset sanitize --target fuzz-targets
	sh fuzz/run-fuzzers.sh build/sanitize $(FUZZ_SECONDS)

# Two soaks one after the other, each for SOAK_SECONDS on the mocked platform with
# random faults: an adapter against the emulator (vexbus-soak), and the
# whole stack (vexbus-stack-soak: vexbusd with two adapters, its D-Bus
# clients, leases, updates and the MQTT bridge on a restarting mosquitto).
# Each prints its counts and checks; both must hold.
soak: deps-test build
	@sh tests/support/private-locks.sh umockdev-wrapper $(BUILD_DIR)/soak/vexbus-soak --seconds $(SOAK_SECONDS); adapter=$$?; \
	sh tests/support/private-locks.sh umockdev-wrapper $(BUILD_DIR)/soak/vexbus-stack-soak --seconds $(SOAK_SECONDS); stack=$$?; \
	echo "soak: vexbus-soak exit $$adapter, vexbus-stack-soak exit $$stack"; \
	[ $$adapter = 0 ] && [ $$stack = 0 ]

# FLEET_GATEWAYS gateways on this machine (vexbus-fleet-sim), each its own
# vexbusd with its own bus and mocked adapter, on one mosquitto and one
# release server, with one settings file; they idle, then a signed fleet
# policy rolls 1.5.0 out in stages. It prints the broker's traffic per
# gateway and how long each stage took, and fails unless every check holds.
fleet-sim: deps-test build
	sh tests/support/private-locks.sh umockdev-wrapper $(BUILD_DIR)/soak/vexbus-fleet-sim --gateways $(FLEET_GATEWAYS)

configure:
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

install: build
	cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# Debian packages from a copy of the tree (dpkg-buildpackage writes into the
# parent folder): $(DEB_DIR)/*.deb, checked by lintian and by a test that
# unpacks them and builds against them.
deps-deb: deps-build
	@sh tools/install-deps.sh "$(SUDO)" $(DEB_PACKAGES)

deps-docs: deps-test
	@sh tools/install-deps.sh "$(SUDO)" $(DOCS_PACKAGES)

deb: deps-deb
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)/src
	tar -c --exclude=./build --exclude=./.git . | tar -x -C $(DEB_DIR)/src
	cd $(DEB_DIR)/src && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -b -us -uc
	lintian --fail-on error,warning --info $(DEB_DIR)/*.changes
	sh tests/deb/deb-test.sh $(DEB_DIR) tests/install/consumer

# Takes the ABI baseline anew from the library built now, on purpose: abi/,
# debian/libnivora-vexbususb1.symbols. See doc/compatibility.md.
abi-baseline: build
	cmake --build --preset $(PRESET) --target abi-baseline

# API reference from the installed headers: build/default/docs/html/index.html.
# Fails on any Doxygen warning, such as a public member without its comment.
docs: deps-docs
	cmake --preset $(PRESET)
	cmake --build --preset $(PRESET) --target docs
