#!/bin/bash
# The service's main job end to end, on the Linux port: the service runs in
# a temporary installation folder with stand-in cores next to it (programs of
# ours that record how they were started and what they were given), and
# ombrelctl talks to it over its control socket the way the desktop
# application would.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target ombrel-service ombrelctl standin-xray standin-sing-box
bin=$PWD/build/native/bin
nodes=$PWD/docs/sample-nodes.json

work=$(mktemp -d)
install=$work/install
data=$work/data
mkdir -p "$install" "$data"
# Only we may change it, whatever the umask: no core starts from a folder
# that others may.
chmod 755 "$install"
cp "$bin/ombrel-service" "$install/"
cp "$bin/standin-xray" "$install/xray"
cp "$bin/standin-sing-box" "$install/sing-box"
export OMBREL_PIPE=$data/service.sock OMBREL_DATA_DIR=$data
# The stand-in proxy core records what it was given next to itself, in a
# folder only we may write: it runs as our account, not as the id of its
# own that a service run by root gives the real proxy core.
export OMBREL_CORE_USER=$(id -un)

"$install/ombrel-service" run 2>"$work/service.err" &
service=$!
finish() {
  "$bin/ombrelctl" disconnect >/dev/null 2>&1 || true
  kill "$service" 2>/dev/null || true
  wait "$service" 2>/dev/null || true
  rm -rf "$work"
}
trap finish EXIT

ctl() {
  local shown=""
  for a in "$@"; do
    if [[ $a =~ ^[A-Za-z0-9_./:=-]+$ ]]; then shown+=" $a"; else shown+=" '$a'"; fi
  done
  echo "\$ ombrelctl$shown"
  "$bin/ombrelctl" "$@" || echo "(exit code $?)"
}
# Waits for a stand-in's record of its latest start.
record() {
  for _ in $(seq 100); do
    [ -s "$1" ] && break
    sleep 0.05
  done
  cat "$1"
}

echo "== installation folder $install, data folder $data"
for _ in $(seq 100); do
  "$bin/ombrelctl" status >/dev/null 2>&1 && break
  sleep 0.05
done
ctl status

echo
echo "== tunnel mode: four nodes from docs/sample-nodes.json"
ctl connect "$nodes" --country NL --bypass-app 'C:\Games\game.exe' --site https://bank.example/login
ctl status
echo
echo "-- the proxy core's document, as xray read it from its standard input:"
record "$install/xray.stdin"
echo
echo
echo "-- the tunnel core was started as:"
record "$install/sing-box.args" | tr '\0' ' '
echo
echo "-- with $data/tunnel.json:"
cat "$data/tunnel.json"
echo

echo
echo "== proxy-only mode: local SOCKS and HTTP proxies instead of a tunnel"
rm -f "$install/xray.stdin"
ctl connect "$nodes" --proxy-only
ctl --json status
echo "-- the proxy core's local inbounds:"
record "$install/xray.stdin" | grep -E '"(listen|port|protocol)"' | head -6

echo
echo "== refusals"
ctl send '{"cmd":"connect","nodes":[]}'
ctl send '{"cmd":"Status"}'
sum=$(printf '0%.0s' $(seq 64))
ctl send "{\"cmd\":\"update\",\"version\":\"9\",\"app_path\":\"$work/app\",\"app_sha256\":\"$sum\",\"service_path\":\"$work/service\",\"service_sha256\":\"$sum\"}"
ctl --json status

echo
echo "== disconnect"
ctl disconnect
ctl status
echo "-- proxy-core starts: $(wc -l <"$install/xray.runs"), tunnel-core starts: $(wc -l <"$install/sing-box.runs")"
echo "-- the service's standard error:"
cat "$work/service.err"
echo "-- the same lines, each after its time, in the service's own log $data/service-diag.log:"
for _ in $(seq 100); do
  [ -s "$data/service-diag.log" ] && break
  sleep 0.05
done
tail -n 20 "$data/service-diag.log"
echo "== done"
