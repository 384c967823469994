#!/bin/bash
# Installs the Debian packages that building, testing and the demo need.
set -euo pipefail
PACKAGES=(
  g++ cmake ninja-build pkg-config
  nlohmann-json3-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools wine64
  # windres (version resources) and windmc (the message table of events).
  binutils-mingw-w64-x86-64
  osslsigncode openssl python3
  # The Unicode Character Database, which the text tables are generated
  # from and checked against (tools/gen_textclass.py --check).
  unicode-data
  # The Go stand-in proxy core of the Windows tests (standard library only).
  golang-go
  # A real proxy core for the end-to-end tests: v2ray reads the proxy core's
  # document family (the test makes its certificate with openssl).
  v2ray
  # Fuzzing: clang 16 is the first Debian clang whose C++ front end takes
  # libstdc++'s std::expected; llvm-16 brings the symbolizer for reports.
  clang-16 libclang-rt-16-dev llvm-16
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
