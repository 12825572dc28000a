# Entry points: `make demo`, `make test`, `make bench`, `make fuzz`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan

.PHONY: all deps build build-asan build-tsan format-check test test-fast test-tsan demo bench fuzz clean

all: build

deps:
	scripts/install-deps

# Warnings are errors here, so `make test` (and CI) keeps the tree free of them.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)

# The sanitizer build uses clang so that the libFuzzer targets build alongside the tests.
build-asan: deps
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DZOL_SANITIZE=ON -DZOL_FUZZ=ON -DZOL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The ThreadSanitizer build runs the tests labelled "tsan": the messaging library's and the
# end-to-end server tests, with every program they start instrumented too.
build-tsan: deps
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZOL_TSAN=ON -DZOL_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tsan_tests

test-tsan: build-tsan
	scripts/test-tsan $(TSAN_BUILD) $(JOBS)

format-check: deps
	scripts/check-format

test-fast: build format-check
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))

test: test-fast build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))
	$(MAKE) test-tsan

demo: build
	scripts/demo

bench: build
	scripts/bench $(BUILD)

fuzz: build-asan
	scripts/fuzz $(ASAN_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
