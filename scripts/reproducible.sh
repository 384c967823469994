#!/bin/bash
# Builds ombrel-service.exe a second time, from a copy of the sources in
# another folder (its path holding a space), and compares it byte for byte
# with build/windows/bin/ombrel-service.exe: two builds of one commit must
# give the same executable, wherever they were made. Run after the windows
# preset's build.
set -euo pipefail
cd "$(dirname "$0")/.."
first=build/windows/bin/ombrel-service.exe
if [ ! -f "$first" ]; then
  echo "no $first: build the windows preset first" >&2
  exit 1
fi
other=$(mktemp -d "${TMPDIR:-/tmp}/ombrel second build.XXXXXX")
trap 'rm -rf "$other"' EXIT
tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$other"
# No compiler cache: the second build must really compile, in its folder.
export CCACHE_DISABLE=1
(cd "$other" && cmake --preset windows >/dev/null && cmake --build build/windows --target ombrel-service)
second="$other/build/windows/bin/ombrel-service.exe"
sha256sum "$first" "$second"
if ! cmp "$first" "$second"; then
  echo "ombrel-service.exe differs between two builds of the same sources" >&2
  exit 1
fi
echo "ombrel-service.exe: the same bytes from two folders"
