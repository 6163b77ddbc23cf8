# Thin wrapper around CMake + Ninja. `make` builds every program into
# build/bin/, `make test` runs every test, `make asan` does the same under
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/.
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test asan run clean

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

# Starts the tracing server in a scratch working directory under build/.
PORT ?= 3389
run: build
	mkdir -p build/run
	cd build/run && PORT=$(PORT) ../bin/ferrowyn_trace

clean:
	rm -rf build build-asan
