# The two commands of the README, `make run` and `make test`, and `make package`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SOAK_BUILD ?= $(BUILD)
JOBS       ?= $(shell nproc)

.PHONY: all deps configure build build-asan run test test-normal test-asan package bench fuzz soak clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTORUNA_SANITIZE=ON -DTORUNA_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# Only the server (the tray application where Qt is present), and quietly: when the build fails, its messages appear
# without the progress lines.
run: configure
	@echo "make run: building the server ($(BUILD)/run-build.log)"
	@cmake --build $(BUILD) -j $(JOBS) --target toruna-run >$(BUILD)/run-build.log 2>&1 || \
	  { grep -Ev '^\[ *[0-9]+%\]|^g?make\[[0-9]+\]: (Entering|Leaving) directory' $(BUILD)/run-build.log; exit 1; }
	@exec "$$(cat $(BUILD)/run-program)"

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

# The Debian packages (build/toruna_VERSION_ARCH.deb): only the files they hold
# are built, no test or benchmark.
package: configure
	cmake --build $(BUILD) -j $(JOBS) --target toruna_package_files
	cd $(BUILD) && cpack -G DEB

bench: build
	@if [ -x bench/run ]; then bench/run $(BUILD); else echo "no benchmark yet"; fi

# Every fuzz target for FUZZ_SECONDS each, built with clang and libFuzzer.
fuzz:
	@scripts/install-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTORUNA_FUZZ=ON -DTORUNA_TESTS=OFF -DTORUNA_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run $(FUZZ_BUILD)

# The churn soak, then the hostile soak, against the server of SOAK_BUILD
# (build-asan for the sanitizers).
soak: build
	@if [ "$(SOAK_BUILD)" = "$(ASAN_BUILD)" ]; then $(MAKE) --no-print-directory build-asan; fi
	bench/soak/run $(BUILD) $(SOAK_BUILD)
	bench/soak/hostile $(SOAK_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
