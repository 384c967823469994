#!/bin/bash
# Builds the Linux port with AddressSanitizer and UndefinedBehaviorSanitizer
# (preset asan), then with ThreadSanitizer (preset tsan), and runs the whole
# native test suite under each: unit, fault and end-to-end tests, the
# service and the stand-in cores all instrumented. Any report fails the run.
#   bash scripts/sanitize.sh [asan|tsan ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
presets=("$@")
((${#presets[@]})) || presets=(asan tsan)
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
