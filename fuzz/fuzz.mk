# Fuzzing with clang 14's libFuzzer, included by the top-level Makefile.
#
#   make fuzz                      builds every target into build-fuzz/bin/
#   make fuzz-run                  runs each for FUZZ_SECONDS (default 60)
#   make fuzz-run FUZZ_TARGETS="filter data_file" FUZZ_SECONDS=600
#
# Every object is built with AddressSanitizer and UndefinedBehaviorSanitizer.
# fuzz-run starts each target from its seed corpus (fuzz/corpus/TARGET,
# copied into build-fuzz/corpus/TARGET, where new inputs accumulate) and
# fails when any target finds a crash, a leak, undefined behaviour or a
# broken round trip; the input is left in build-fuzz/artifacts/TARGET/.
FUZZ_CXX ?= clang++-14
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS ?=
JOBS ?= $(shell nproc)

.PHONY: fuzz fuzz-run

$(FUZZ_BUILD)/build.ninja:
	cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX)

fuzz: $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

fuzz-run: fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_BUILD=$(FUZZ_BUILD) fuzz/run_fuzzers.sh $(FUZZ_TARGETS)

# Line coverage of the libraries reached by the corpora in
# build-fuzz/corpus/ (or the seeds, when a target has not run yet).
FUZZ_COVERAGE_BUILD ?= build-fuzz-cov
.PHONY: fuzz-coverage
$(FUZZ_COVERAGE_BUILD)/build.ninja:
	cmake -S fuzz -B $(FUZZ_COVERAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DFERROWYN_FUZZ_COVERAGE=ON

fuzz-coverage: $(FUZZ_COVERAGE_BUILD)/build.ninja
	cmake --build $(FUZZ_COVERAGE_BUILD) -j $(JOBS)
	FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_COVERAGE_BUILD=$(FUZZ_COVERAGE_BUILD) fuzz/coverage.sh
