#!/bin/bash
# Builds both targets and runs every test: Linux natively, Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset native
cmake --build --preset native
ctest --preset native
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
