# Two commands do everything: `make run` and `make test`.
# `make package` builds the Debian package lanterra_<version>_<arch>.deb in $(BUILD)/.
# More: `make test-asan` (the suite under AddressSanitizer and UBSan),
# `make fuzz` (each fuzz target for FUZZ_SECONDS), `make bench` (the /24 scan),
# `make picture` (the README's picture, from a scan of the layer-2 lab).
# CMAKE_ARGS go to every configure step, e.g. CMAKE_ARGS=-DLANTERRA_WERROR=ON (CI).
BUILD ?= build
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
CMAKE_ARGS ?=
CTEST_ENV := QT_QPA_PLATFORM=offscreen

.PHONY: deps build run test package test-asan fuzz bench picture clean

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Configured once: later runs only build what changed.
$(BUILD)/CMakeCache.txt:
	@echo "Configuring $(BUILD)/"
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null

# The window and pelorin only; the build's output shows only when it fails.
run: deps $(BUILD)/CMakeCache.txt
	@echo "Building lanterra and pelorin"
	@cmake --build $(BUILD) -j $(JOBS) --target lanterra pelorin >$(BUILD)/run-build.log 2>&1 \
	  || { cat $(BUILD)/run-build.log; exit 1; }
	@echo "Starting $(BUILD)/bin/lanterra"
	@$(BUILD)/bin/lanterra

test: build
	cd $(BUILD) && $(CTEST_ENV) ctest --output-on-failure -j $(JOBS)

package: build
	cd $(BUILD) && cpack

test-asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLANTERRA_SANITIZE=ON $(CMAKE_ARGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	cd build-asan && $(CTEST_ENV) \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz: deps
	CMAKE_ARGS="$(CMAKE_ARGS)" bash scripts/fuzz.sh $(FUZZ_SECONDS)

bench: build
	@cmake --build $(BUILD) -j $(JOBS) --target scan24_bench
	tests/lab/run-in-netns.sh $(BUILD)/bin/scan24_bench

# The README's picture, made anew from a real scan of the layer-2 lab (as root).
picture: build
	@cmake --build $(BUILD) -j $(JOBS) --target readme_picture
	QT_QPA_PLATFORM=offscreen tests/lab/run-in-netns.sh $(BUILD)/bin/readme_picture docs/lanterra-scan.png

clean:
	rm -rf $(BUILD) build-asan build-fuzz
