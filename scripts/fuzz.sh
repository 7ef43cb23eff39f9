#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz/) with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer in build-fuzz/, then runs each in turn for
# SECONDS (default 600) from its seed corpus, printing the runs and the
# corpus size of each.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
# Environment: CC / CXX (default clang-14 / clang++-14), LUMORA_FUZZ_BUILD_DIR,
# JOBS (build jobs, default 2).
# A crashing, hanging or over-allocating input is written to
# build-fuzz/crashes/<harness>/; once the fault is mended, copy it into
# tests/fuzz/regressions/<harness>/ so the test suite replays it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-600}"
shift || true
build="${LUMORA_FUZZ_BUILD_DIR:-$root/build-fuzz}"

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_FUZZ=ON \
  -DCMAKE_C_COMPILER="${CC:-clang-14}" -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" > "$build/configure.log" 2>&1 || {
  cat "$build/configure.log"
  exit 1
}
cmake --build "$build" -j"${JOBS:-2}" --target lumora_fuzzers

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  mapfile -t harnesses < "$build/fuzzers.txt"
fi

# LibTorch is not instrumented: its sized deletes and process-lifetime
# caches are not ours to report.
export ASAN_OPTIONS="${ASAN_OPTIONS:-new_delete_type_mismatch=0:detect_leaks=0}"
status=0
for name in "${harnesses[@]}"; do
  corpus="$build/corpus/$name"
  crashes="$build/crashes/$name"
  mkdir -p "$corpus" "$crashes"
  log="$build/fuzz-$name.log"
  echo "== $name: ${seconds}s"
  # Inputs above 1 GiB of allocation, or slower than 10 s, are findings too.
  if ! "$build/bin/fuzz_$name" -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=1024 -rss_limit_mb=3072 \
      -print_final_stats=1 -artifact_prefix="$crashes/" "$corpus" "$root/tests/fuzz/corpus/$name" > "$log" 2>&1; then
    status=1
    echo "   FINDING: see $log and $crashes/"
  fi
  # libFuzzer's own figures: executed inputs, and the corpus it ended with
  # (seeds included; "corp: units/bytes"); new inputs are kept in $corpus.
  runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
  corp="$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -1 | cut -d' ' -f2 || true)"
  echo "   runs: ${runs}  corpus: ${corp:-?} (units/size; $(find "$corpus" -type f | wc -l) new files kept)" \
       " crashes: $(find "$crashes" -type f | wc -l)"
done
exit $status
