#!/bin/bash
# Builds both targets and runs every test: Linux natively, Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
# The committed escaping tables are what the installed Unicode data gives.
python3 tools/gen_textclass.py --check
cmake --preset native
cmake --build --preset native
ctest --preset native
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
