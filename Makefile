# The two user commands: `make run` and `make test`. Everything else is for developers.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)

.PHONY: run test deps configure build asan tsan tsan-lib check-aarch64 bench soak package lintian clean format fresh-check

run: build
	./scripts/run-app.sh $(BUILD_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) $(CTEST_FLAGS)

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Sanitizer builds live in their own folders and run the whole suite but the end-to-end cases
# (label e2e: the real programs under a virtual display) and the kernel rig's cases (label rig:
# the programs in a virtual machine); both run in the plain build.
SANITIZER_CTEST_FLAGS = --output-on-failure -j $(JOBS) -LE 'e2e|rig'
# FFmpeg's reference counts are atomics in an uninstrumented library (tests/tsan.supp says why).
TSAN_SUPPRESS = $${TSAN_OPTIONS:+$$TSAN_OPTIONS:}suppressions=$(CURDIR)/tests/tsan.supp

asan:
	$(MAKE) test BUILD_DIR=build-asan CTEST_FLAGS="$(SANITIZER_CTEST_FLAGS)" CMAKE_FLAGS="-DVEX_SANITIZE=address,undefined -DVEX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug"

tsan:
	TSAN_OPTIONS="$(TSAN_SUPPRESS)" $(MAKE) test BUILD_DIR=build-tsan CTEST_FLAGS="$(SANITIZER_CTEST_FLAGS)" CMAKE_FLAGS="-DVEX_SANITIZE=thread -DVEX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo"

# The library's and the simulator's suites under ThreadSanitizer (the application's tests and
# the simulator's Qt Test programs run Qt, which is not instrumented); CI runs this beside
# `make asan`.
tsan-lib: deps
	cmake -S . -B build-tsan -G Ninja -DVEX_SANITIZE=thread -DVEX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan -j $(JOBS) --target vex_lib_tests vex_sim_tests
	TSAN_OPTIONS="$(TSAN_SUPPRESS)" ctest --test-dir build-tsan -L 'lib|sim' -LE qt $(CTEST_FLAGS)

# The README's `make test` on a minimal Debian 12 system built for the purpose (debootstrap), from
# a clone of the committed tree: what a new user's first try does. Needs root (or sudo).
fresh-check:
	./scripts/fresh-machine-check.sh

# Every library source compiled for aarch64 (syntax only) with Debian's cross compiler.
check-aarch64: deps
	./scripts/check-aarch64.sh

bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEX_BUILD_TESTS=OFF -DVEX_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	./scripts/run-benchmarks.sh build-bench

# The application left alone for MINUTES with cameras, arrays and clients coming and going
# (bench/soak.py): its samples and a verdict, exit status 0 only when it passes. It starts the
# real application, so no other VantorReda may run on the machine meanwhile.
MINUTES ?= 60
soak: build
	dbus-run-session -- /usr/bin/python3 bench/soak.py $(BUILD_DIR) $(MINUTES)

# Debian packages (vantorreda, libvexsdk1, libvexsdk-dev, vexctl) in build-package/, built for
# the prefix /usr with Debian's hardening flags; `make lintian` checks them.
package: deps
	cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DVEX_BUILD_TESTS=OFF -DVEX_BUILD_BENCH=OFF \
		-DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
		-DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CFLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now" \
		-DCMAKE_SHARED_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS) -Wl,-z,now"
	cmake --build build-package -j $(JOBS)
	cd build-package && cpack -G DEB
	@ls build-package/*.deb

lintian: package
	lintian --info --suppress-tags-from-file packaging/lintian-suppressions build-package/*.deb

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-package

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i
