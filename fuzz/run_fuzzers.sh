#!/usr/bin/env bash
# Runs fuzz targets built in $FUZZ_BUILD (default build-fuzz), each for
# $FUZZ_SECONDS seconds (default 60), one after the other, each as a single
# process. Arguments name the targets (without the fuzz_ prefix); none
# means all that were built. Exits 1 when any target failed.
set -uo pipefail
cd "$(dirname "$0")/.."

build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}

# Longest input per target: room for a few requests' worth of BER, a page
# or two of LDIF, a data file of a few dozen records.
max_len() {
  case "$1" in
    scan_ipv6) echo 64 ;;
    filter_text) echo 1024 ;;
    ber|ldap_message|bind_request|search_request|modify_request|add_request|filter|search_entry|ldap_result) echo 2048 ;;
    journal_ldif|ldif_reader|rowcaster) echo 4096 ;;
    data_file) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/bin/fuzz_*; do
    [ -x "$bin" ] && targets+=("$(basename "$bin" | sed 's/^fuzz_//')")
  done
fi
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $build/bin: run 'make fuzz' first" >&2
  exit 1
fi

# Symbolised stacks in the reports, from llvm-14's symbolizer when present.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/bin/llvm-symbolizer-14 ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for t in "${targets[@]}"; do
  bin="$build/bin/fuzz_$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz_$t: not built" >&2
    failed+=("$t")
    continue
  fi
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  if [ -d "fuzz/corpus/$t" ]; then cp -n fuzz/corpus/"$t"/* "$corpus"/ 2>/dev/null; fi
  echo "== fuzz_$t: $seconds s"
  log="$build/fuzz_$t.log"
  if "$bin" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=25 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      "$corpus" >"$log" 2>&1; then
    grep -E 'DONE|^Done|stat::(number_of_executed_units|peak_rss_mb)' "$log"
  else
    echo "fuzz_$t FAILED: see $log and $artifacts/" >&2
    tail -n 40 "$log" >&2
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz targets that failed: ${failed[*]}" >&2
  exit 1
fi
