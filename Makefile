# Thin wrapper around CMake + Ninja. `make` builds every program into
# build/bin/, `make test` runs every test, `make asan` does the same under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test asan example run clean

all: build

build/build.ninja:
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

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

# Starts the tracing server on the example directory, with build/run as its
# working directory (where its journal goes).
PORT ?= 3389
run: example
	cd build/run && PORT=$(PORT) ../bin/ferrowyn_trace data

clean:
	rm -rf build build-asan
