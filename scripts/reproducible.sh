#!/bin/bash
# Builds the shipped executables (the service and ombrelctl) a second time,
# from a copy of the sources in another folder (its path holding a space),
# and compares each byte for byte with its build in build/windows/bin: two
# builds of one commit must give the same executables, wherever they were
# made. Run after the windows preset's build. One second build makes them
# all.
set -euo pipefail
cd "$(dirname "$0")/.."
shipped=(ombrel-service ombrelctl)
# Not shipped, but built by another compiler (Go), which must hold to the
# same: the tests' Go stand-in proxy core.
shipped+=(standin-go-xray)
for name in "${shipped[@]}"; do
  if [ ! -f "build/windows/bin/$name.exe" ]; then
    echo "no build/windows/bin/$name.exe: build the windows preset first" >&2
    exit 1
  fi
done
other=$(mktemp -d "${TMPDIR:-/tmp}/ombrel second build.XXXXXX")
trap 'rm -rf "$other"' EXIT
tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$other"
# No compiler cache: the second build must really compile, in its folder.
export CCACHE_DISABLE=1
(cd "$other" && cmake --preset windows >/dev/null && cmake --build build/windows --target "${shipped[@]}")
differs=()
for name in "${shipped[@]}"; do
  first="build/windows/bin/$name.exe"
  second="$other/build/windows/bin/$name.exe"
  sha256sum "$first" "$second"
  cmp "$first" "$second" || differs+=("$name.exe")
done
if [ "${#differs[@]}" -ne 0 ]; then
  echo "differ between two builds of the same sources: ${differs[*]}" >&2
  exit 1
fi
echo "${shipped[*]/%/.exe}: the same bytes from two folders"
