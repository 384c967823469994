#!/bin/bash
# Builds the benchmarks (Linux natively, the named-pipe round trip for
# Windows), runs them and prints one table: each figure of ours beside the
# bare limit measured in the same run on the same machine, their ratio and
# the target. Takes a few minutes, one of them idle by design.
#   OMBREL_BENCH_IDLE=SECONDS   the idle window (default 60)
#   OMBREL_SOAK_CYCLES=N        connects and disconnects of the soak (default 300)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
idle=${OMBREL_BENCH_IDLE:-60}
# The stand-in proxy core records its start next to itself, in a folder only
# we may write: it runs as our account, not as "nobody", the account a
# service run by root gives the real proxy core.
export OMBREL_CORE_USER=$(id -un)
cycles=${OMBREL_SOAK_CYCLES:-300}
native=$PWD/build/bench-native
windows=$PWD/build/bench-windows

echo "== building" >&2
cmake --preset native -B "$native" -DOMBREL_BUILD_BENCH=ON >/dev/null
cmake --build "$native" -j2 --target ombrel-service standin-xray standin-sing-box \
  ombrel_bench_status ombrel_bench_prepare ombrel_bench_watcher ombrel_bench_service \
  ombrel_bench_soak ombrel_bench_first_page >&2
# The tests' folder holds the stand-in cores the soak runs; only they are built.
cmake --preset windows -B "$windows" -DOMBREL_BUILD_BENCH=ON -DOMBREL_BUILD_TESTS=ON >/dev/null
cmake --build "$windows" -j2 --target ombrel-service ombrel_bench_status ombrel_bench_soak \
  ombrel_console_host standin-xray standin-sing-box >&2

rows=$(mktemp)
work=$(mktemp -d)
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
cleanup() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$work" "$rows"
}
trap cleanup EXIT
# Each program prints its figures as "ROW" lines; the rest is commentary.
run() {
  echo "== $*" >&2
  local out
  out=$("$@") || {
    echo "failed: $*" >&2
    exit 1
  }
  printf '%s\n' "$out" >&2
  printf '%s\n' "$out" | tr -d '\r' | grep '^ROW' >>"$rows" || true
}

bin=$native/bin
run "$bin/ombrel_bench_status" "$bin/ombrel-service"
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
winbin="Z:${windows//\//\\}\\bin"
run /usr/lib/wine/wine64 "$windows/bin/ombrel_bench_status.exe" "$winbin\\ombrel-service.exe"
# Installed and started by Wine's service control manager, as on a user's
# machine: the service has no console there. A new prefix may leave two
# service managers running and holds its service database locked for a
# while: the soak starts with a fresh server and an idle manager.
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w 2>/dev/null || true
for _ in $(seq 1 60); do
  /usr/lib/wine/wine64 sc query plugplay 2>/dev/null | grep -q RUNNING && break
  sleep 1
done
run /usr/lib/wine/wine64 "$windows/bin/ombrel_bench_soak.exe" "$winbin" "$cycles" installed
run /usr/lib/wine/wine64 "$windows/bin/ombrel_console_host.exe" "$winbin\\standin-sing-box.exe"
/usr/lib/wine/wineserver -k 2>/dev/null || true
run "$bin/ombrel_bench_prepare"
run "$bin/ombrel_bench_watcher"
run "$bin/ombrel_bench_service" "$bin" "$idle"
run "$bin/ombrel_bench_soak" "$bin" "$cycles"
# The proxy core Debian's v2ray, run as the stand-in is (OMBREL_CORE_USER).
run "$bin/ombrel_bench_first_page" "$bin"

# The Windows file: its size, and every DLL it imports must be the system's.
exe=$windows/bin/ombrel-service.exe
size=$(stat -c %s "$exe")
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | sort -f | tr '\n' ' ')
system='^(kernel32|advapi32|bcrypt|msvcrt|userenv|ws2_32|wtsapi32|ntdll|crypt32|wintrust|user32|shell32|ole32|oleaut32|secur32|rpcrt4|shlwapi|iphlpapi|version|api-ms-win-.*)\.dll$'
foreign=""
for d in $dlls; do
  echo "$d" | tr 'A-Z' 'a-z' | grep -Eq "$system" || foreign+="$d "
done
verdict=met
((size <= 3000000)) || verdict=MISSED
printf 'ROW\tWindows file: ombrel-service.exe size\t%s bytes\t-\t-\t<= 3 MB\t%s\n' "$size" "$verdict" >>"$rows"
verdict=met
[ -z "$foreign" ] || verdict=MISSED
printf 'ROW\tWindows file: imported DLLs\t%s\t-\t-\tsystem DLLs only\t%s\n' \
  "${dlls% }${foreign:+ (not system: ${foreign% })}" "$verdict" >>"$rows"

echo
awk -F'\t' '
  BEGIN { h[1] = "figure"; h[2] = "ours"; h[3] = "bare limit"; h[4] = "ratio"; h[5] = "target"; h[6] = "verdict"
          for (i = 1; i <= 6; i++) w[i] = length(h[i]) }
  { n++; for (i = 1; i <= 6; i++) { c[n, i] = $(i + 1); if (length($(i + 1)) > w[i]) w[i] = length($(i + 1)) } }
  function line(get,    i, s) { s = "|"; for (i = 1; i <= 6; i++) s = s sprintf(" %-" w[i] "s |", get[i]); print s }
  END {
    line(h)
    s = "|"; for (i = 1; i <= 6; i++) { d = ""; for (j = 0; j < w[i]; j++) d = d "-"; s = s " " d " |" }; print s
    for (r = 1; r <= n; r++) { for (i = 1; i <= 6; i++) v[i] = c[r, i]; line(v) }
  }' "$rows"
