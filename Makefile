# make run: build the release binary alone and run it with its defaults.
# make test: build and run every test through CTest.
# make bench, make soak, make fuzz: the benchmark, the reliability suite, the fuzzers.
# make install [PREFIX=/usr/local] [DESTDIR=...]: the program, its manual page and unit.
# make package: a Debian package of a release build without the tests, in $(BUILD)-package.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= 2

COMPILE_PACKAGES := cmake ninja-build g++ make
RUN_PACKAGES := $(COMPILE_PACKAGES) netbase
BUILD_PACKAGES := $(RUN_PACKAGES) libgtest-dev libgmock-dev
TEST_PACKAGES := $(BUILD_PACKAGES) curl wget nginx openssl iproute2 python3 python3-requests python3-prometheus-client clang libclang-rt-14-dev \
                 util-linux procps valgrind haproxy systemd man-db groff-base dpkg-dev lintian chromium
# dpkg-shlibdeps (dpkg-dev) works out the package's dependencies.
PACKAGE_PACKAGES := $(COMPILE_PACKAGES) dpkg-dev
BENCH_PACKAGES := $(BUILD_PACKAGES) nginx wrk apache2-utils tinyproxy util-linux procps

# Installs the missing Debian packages as root, or prints the line to run.
define need_packages
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	  | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing packages; run: sudo apt-get install -y" $$missing; exit 1; \
	  fi; \
	fi
endef

.PHONY: run test build build-ferry install package bench soak fuzz deps-run deps-build deps-test \
        deps-package deps-bench clean

deps-run:
	$(call need_packages,$(RUN_PACKAGES))

deps-build:
	$(call need_packages,$(BUILD_PACKAGES))

deps-test:
	$(call need_packages,$(TEST_PACKAGES))

deps-package:
	$(call need_packages,$(PACKAGE_PACKAGES))

deps-bench:
	$(call need_packages,$(BENCH_PACKAGES))

build: deps-build
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Only the binary: the tests need GoogleTest and take most of a full build.
# Settings pass as make variables or from the environment: both become
# ferry's environment.
build-ferry: deps-run
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target ferry

run:
	@echo "make run: settings go after it or before it: make run LISTEN_PORT=3128 LOG=access"
	@$(MAKE) --no-print-directory build-ferry
	exec $(BUILD)/ferry

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

install: build
	DESTDIR='$(DESTDIR)' cmake --install $(BUILD) --prefix '$(PREFIX)'

# A folder of its own without the tests: cpack builds everything its build
# holds, and the tests take most of that time while the package needs none.
package: deps-package
	cmake -S . -B $(BUILD)-package -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) \
	  -DBUILD_TESTING=OFF >/dev/null
	cmake --build $(BUILD)-package -j $(JOBS)
	cd $(BUILD)-package && cpack -G DEB

bench: deps-bench build
	bench/run

# The full reliability suite with its figures (docs/reliability.md).
soak: deps-test
	tests/soak/run

# Fuzz the head scan and the settings reader; SECONDS=600 for longer.
fuzz: deps-test
	tests/fuzz/run $(or $(SECONDS),60)

clean:
	rm -rf build build-*
