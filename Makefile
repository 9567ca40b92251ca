# The two commands of the README: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SOAK_BUILD ?= $(BUILD)
JOBS       ?= $(shell nproc)

.PHONY: all deps build build-asan run test test-normal test-asan bench fuzz soak clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTORUNA_SANITIZE=ON -DTORUNA_BENCH=OFF >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	@if [ -x $(BUILD)/src/app/toruna-server ]; then \
	  exec $(BUILD)/src/app/toruna-server; \
	else \
	  echo "The server program is not built yet; the libraries built fine."; \
	fi

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

bench: build
	@if [ -x bench/run ]; then bench/run $(BUILD); else echo "no benchmark yet"; fi

# Every fuzz target for FUZZ_SECONDS each, built with clang and libFuzzer.
fuzz:
	@scripts/install-deps fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTORUNA_FUZZ=ON -DTORUNA_TESTS=OFF -DTORUNA_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run $(FUZZ_BUILD)

# The churn soak against the server of SOAK_BUILD (build-asan for the sanitizers).
soak: build
	@if [ "$(SOAK_BUILD)" = "$(ASAN_BUILD)" ]; then $(MAKE) --no-print-directory build-asan; fi
	bench/soak/run $(BUILD) $(SOAK_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
