#!/bin/bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60) from its
# seed corpus in fuzz/corpus/<target>/. Fails on any crash, leak, time-out or
# sanitizer report; the input that caused it is left in build/fuzz/findings/.
# New inputs found along the way go to build/fuzz/corpus/<target>/, not into
# the repository's seeds.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
bash scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
build=build/fuzz
targets=("$@")
if ((${#targets[@]} == 0)); then
  for src in fuzz/*.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
mkdir -p "$build/findings"
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  log="$build/findings/$t.log"
  echo "== fuzz-$t for ${seconds}s"
  # One process, stop at the first finding; -timeout turns a hang into one.
  if "$build/bin/fuzz-$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=300000 -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
      "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^Done" "$log" || true
  else
    echo "fuzz-$t FAILED, see $log:"
    tail -40 "$log"
    failed+=("$t")
  fi
done
if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets clean"
