# Entry points: `make demo`, `make test`, `make bench`, `make fuzz`, `make install`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
PREFIX ?= /usr/local

.PHONY: all deps deps-test programs build build-asan build-tsan format-check test test-fast \
  test-tsan demo install uninstall package bench fuzz clean

all: build

# The packages the programs need; deps-test adds those of the tests, benchmarks and fuzzing.
deps:
	scripts/install-deps

deps-test:
	scripts/install-deps --test

# The programs alone, without tests and benchmarks (and so without GoogleTest): what
# `make install` installs under PREFIX.
programs: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_TESTS=OFF -DZOL_BENCH=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)

# Everything, tests and benchmarks included. Warnings are errors here, so `make test` (and
# CI) keeps the tree free of them.
build: deps-test
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_WERROR=ON -DZOL_TESTS=ON \
	  -DZOL_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)

# The sanitizer build uses clang so that the libFuzzer targets build alongside the tests.
build-asan: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DZOL_SANITIZE=ON -DZOL_FUZZ=ON -DZOL_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The ThreadSanitizer build runs the tests labelled "tsan": the messaging library's and the
# end-to-end server tests, with every program they start instrumented too.
build-tsan: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DZOL_TSAN=ON -DZOL_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tsan_tests

test-tsan: build-tsan
	scripts/test-tsan $(TSAN_BUILD) $(JOBS)

format-check: deps-test
	scripts/check-format

test-fast: build format-check
	cd $(BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))

test: test-fast build-asan
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $$(( $(JOBS) * 2 ))
	$(MAKE) test-tsan

# Only what scripts/demo runs, so a fresh machine shows the demo in a few minutes.
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_TESTS=OFF -DZOL_BENCH=OFF
	cmake --build $(BUILD) -j $(JOBS) --target demo_programs
	scripts/demo

install: programs
	cmake --install $(BUILD)

uninstall:
	cmake --build $(BUILD) --target uninstall

# A Debian package of the programs, for PREFIX (make package PREFIX=/usr).
package: programs
	cd $(BUILD) && cpack -G DEB

bench: build
	scripts/bench $(BUILD)

fuzz: build-asan
	scripts/fuzz $(ASAN_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
