#!/bin/bash
# The service's main job end to end (grows with the service).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native
cmake --preset windows >/dev/null
cmake --build --preset windows
echo "== build/native/bin/ombrel-service frobnicate"
./build/native/bin/ombrel-service frobnicate || echo "(exit code $?)"
