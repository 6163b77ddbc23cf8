# Thin wrapper around CMake + Ninja. `make` builds every program into
# build/bin/, `make test` runs every test, `make asan` does the same under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PREFIX ?= /usr/local

.PHONY: all build test asan example run run-trace install clean

all: build

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_FLAGS)

build: build/build.ninja
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

build-asan/build.ninja:
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFERROWYN_SANITIZE=ON $(CMAKE_FLAGS)

asan: build-asan/build.ninja
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Imports the example directory (examples/example.ldif) with its access
# control lists (examples/example.acl) into build/run/data.
example: build
	mkdir -p build/run
	build/bin/ldifimport -a examples/example.acl build/run/data examples/example.ldif

# Starts the production server on the example directory in the foreground,
# with build/run as its working directory (where its journal goes).
# Ctrl-C stops it. `make run-trace` starts the tracing build instead, which
# serves one connection at a time and traces every request on standard
# error; pressing Enter stops it at the next connection.
PORT ?= 3389
run: example
	cd build/run && PORT=$(PORT) ../bin/ferrowyn data

run-trace: example
	cd build/run && PORT=$(PORT) ../bin/ferrowyn_trace data

# Installs the programs into $(PREFIX)/bin, their pages into
# $(PREFIX)/share/doc/ferrowyn, and the example data file as
# $(PREFIX)/ferrowyn/data (the server's default data file, built into the
# programs for this prefix) unless a data file is already there. DESTDIR is
# honoured for staged installs.
install: build/build.ninja
	cmake -S . -B build -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build build -j $(JOBS)
	cmake --install build

clean:
	rm -rf build build-asan build-fuzz build-lint

# Fuzzing (fuzz/fuzz.mk), static analysis (lint.mk) and the benchmark
# against slapd (bench/bench.mk).
-include fuzz/fuzz.mk
-include lint.mk
-include bench/bench.mk
