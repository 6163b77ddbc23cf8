#!/usr/bin/env bash
# Replays each target's corpus in the coverage build and prints llvm-cov's
# summary for the libraries (core, codec, store, journal, query) and the
# tools' sources that the targets compile.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build-fuzz}
cov=${FUZZ_COVERAGE_BUILD:-build-fuzz-cov}
profiles="$cov/profiles"
rm -rf "$profiles"
mkdir -p "$profiles"
objects=()
for bin in "$cov"/bin/fuzz_*; do
  t=$(basename "$bin" | sed 's/^fuzz_//')
  corpus="$build/corpus/$t"
  [ -d "$corpus" ] || corpus="fuzz/corpus/$t"
  [ -d "$corpus" ] || continue
  LLVM_PROFILE_FILE="$profiles/$t.profraw" "$bin" -runs=0 "$corpus" >/dev/null 2>&1 || true
  objects+=(-object "$bin")
done
llvm-profdata-14 merge -sparse "$profiles"/*.profraw -o "$profiles/all.profdata"
llvm-cov-14 report "${objects[@]:1}" -instr-profile="$profiles/all.profdata" \
  -ignore-filename-regex='(_test\.cc|/fuzz/|/usr/)' "$(pwd)/core" "$(pwd)/codec" \
  "$(pwd)/store" "$(pwd)/journal" "$(pwd)/query" "$(pwd)/tools"
