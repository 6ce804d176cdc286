# Two commands do all set-up on a fresh Debian machine: `make run` and `make test`.
BUILD      ?= build
BUILD_SAN  ?= build-sanitize
BUILD_TSAN ?= build-tsan
JOBS       ?= $(shell nproc)
SANITIZE   ?= 1
GENERATOR  := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Rebuilds of the same sources (several build folders, clean clones) come from the compiler cache.
LAUNCHER   := $(shell command -v ccache >/dev/null 2>&1 && echo "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache")
# Paths inside this checkout are hashed relative to it, so that any clone of it hits the cache.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

PACKAGES := cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
            libcpp-httplib-dev nlohmann-json3-dev libtiff-dev libtiff-tools libdcmtk-dev dcmtk \
            iproute2 util-linux ccache python3-pytest python3-jsonschema python3-yaml \
            python3 python3-numpy python3-tifffile python3-tqdm mypy \
            python3-venv python3-pip python3-setuptools python3-wheel \
            libcli11-dev libsystemd-dev help2man dpkg-dev lintian \
            libspng-dev libpng-dev libturbojpeg0-dev python3-pil chromium chromium-driver python3-selenium \
            libzmq3-dev cppzmq-dev python3-zmq
# Node.js runs the API linter; taken from Debian only where no node is installed yet.
NODE_PACKAGES := nodejs npm
REDOCLY    := tools/node/node_modules/.bin/redocly
BENCH_PACKAGES := wrk nginx-light curl bc python3 iperf3

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# `make install` puts everything under PREFIX, inside DESTDIR when that is given.
PREFIX     ?= /usr/local
DESTDIR    ?=

.PHONY: all deps doc-tools bench-deps configure build run test test-unit test-sanitize test-tsan fuzz bench docs clean install package

all: build

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# The API linter and renderer (@redocly/cli, pinned in tools/node/package-lock.json) go into
# tools/node, never into the system. It asks for Node.js 20.19 or later: Debian 12's Node.js 18 runs
# the linter (with a warning) but not the renderer of `make docs`.
doc-tools: $(REDOCLY)

$(REDOCLY): tools/node/package.json tools/node/package-lock.json
	@command -v npm >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $(NODE_PACKAGES); }
	@node -e 'const [a, b] = process.versions.node.split(".").map(Number); process.exit(a > 20 || (a == 20 && b >= 19) ? 0 : 1)' || \
	  echo "warning: rendering the API reference (make docs) needs Node.js 20.19 or later; this machine has $$(node --version)" >&2
	npm ci --prefix tools/node --no-audit --no-fund
	touch $@

bench-deps:
	@missing=""; for p in $(BENCH_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: $(BUILD)/CMakeCache.txt

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p $(BUILD)/run && cd $(BUILD)/run && exec ../app/qor-camera-server

test-unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

$(BUILD_SAN)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_SAN) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=Debug "-DQOR_SANITIZERS=address;undefined"

test-sanitize: deps $(BUILD_SAN)/CMakeCache.txt
	cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer build: the concurrency tests only (label "concurrency").
$(BUILD_TSAN)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_TSAN) $(GENERATOR) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOR_SANITIZERS=thread

test-tsan: deps $(BUILD_TSAN)/CMakeCache.txt
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan_suppressions.txt" \
	  ctest --output-on-failure -j $(JOBS) -L concurrency

test: build doc-tools
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@if [ "$(SANITIZE)" = 1 ]; then $(MAKE) --no-print-directory test-sanitize test-tsan; fi

# A long fuzzing campaign: make fuzz COUNT=100000 SEED=1 (HTTP requests and as many datagrams).
COUNT ?= 20000
SEED  ?= 1
fuzz: build
	tests/support/netns_run.sh tests/robustness/campaign.sh $(abspath $(BUILD)) $(COUNT) $(SEED)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package (server, simulated vendor libraries, Python client), checked by lintian.
package: build
	rm -f $(BUILD)/qor-camera-server_*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/qor-camera-server_*.deb

bench: deps bench-deps
	cmake -S . -B $(BUILD) $(GENERATOR) -DQOR_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ../bench/run_benchmarks.sh

# The API reference as browsable pages.
docs: doc-tools
	REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true $(REDOCLY) build-docs --inlineBundle \
	  docs/api/camera.openapi.yaml -o docs/api/camera.html
	REDOCLY_TELEMETRY=off REDOCLY_SUPPRESS_UPDATE_NOTICE=true $(REDOCLY) build-docs --inlineBundle \
	  docs/api/lightsource.openapi.yaml -o docs/api/lightsource.html

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_TSAN)
