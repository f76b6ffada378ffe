#!/usr/bin/env bash
# The demo end to end on the real program (CTest runs this inside dbus-run-session and
# xvfb-run): the reference server is started with scripts/demo-server, nimbra in demo mode
# with the live demo device and its own data folders. Checked: the page loads and renders;
# the device is read and a battery estimate asked for (with the installation id); the
# updater's start-up check reaches the reference server without the installation id; the
# telemetry upload carries "first_launch" and "daily" (never a "foreground") for the
# installation named in its header; unplugged and plugged in again through the demo's
# control file, the device is read again; no request was refused. A screenshot of the connected
# home screen is kept in ARTIFACTS/demo.png. Every wait is bounded (about 135 s at most; a
# passing run takes about 65 s, most of it waiting for telemetry's first upload, which comes
# on its minute tick). The history analysis is not asked for yet (the controller's
# analysePendingRecords does nothing so far): its requests are counted and reported only.
# Usage: demo_check.sh NIMBRA BUILD-DIR ARTIFACTS
set -euo pipefail
program="$1"
build_dir="$2"
artifacts="$3"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
mkdir -p "$artifacts"
work="$(mktemp -d)"
pid=""
cleanup() {
  local status=$?
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  "$source_dir/scripts/demo-server" stop --dir "$work/server" || true
  if [ "$status" != 0 ]; then
    echo "--- nimbra output" >&2; cat "$work/nimbra.log" >&2 || true
    echo "--- request log" >&2; cat "$work/server/requests.jsonl" >&2 || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "demo_check: $*" >&2; exit 1; }
waitfor() {  # waitfor SECONDS COMMAND...: polls every 0.2 s until SECONDS have passed
  local deadline=$((SECONDS + $1)); shift
  while ((SECONDS < deadline)); do "$@" && return 0; sleep 0.2; done
  "$@"
}

url="$("$source_dir/scripts/demo-server" start --dir "$work/server" --build-dir "$build_dir" \
  --no-build -- --public-url https://127.0.0.1)"
log="$work/server/requests.jsonl"

export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config"
export NIMBRA_SIMULATED_DEVICE=1 NIMBRA_DEMO_SERVER="$url" NIMBRA_DEMO_CA="$work/server/ca.pem"
export NIMBRA_DEMO_CONTROL="$work/control" NIMBRA_STARTUP_REPORT="$work/report"
start=$(date +%s%N)
"$program" >"$work/nimbra.log" 2>&1 &
pid=$!

rendered() { grep -q '^first-render ' "$work/report" 2>/dev/null; }
waitfor 25 rendered || fail "no first render"
cat "$work/report"
first_render=$(awk '$1 == "first-render" { print $2 }' "$work/report")
echo "time to first rendered state: $(((first_render - start) / 1000000)) ms"

# Requests answered with STATUS on PATH, as JSON lines.
answered() {
  jq -c --arg p "$1" --argjson s "${2:-200}" \
    'select((.path | ltrimstr("/")) == ($p | ltrimstr("/")) and .status == $s)' "$log" 2>/dev/null
}
# The updater's start-up check reached the demo server (no release offered), and the release
# query carries no installation id.
checked() { [ -n "$(answered v1/app/updates/latest 204)" ]; }
waitfor 10 checked || fail "no update check reached the reference server"
answered v1/app/updates/latest 204 | jq -e -s 'all(.[]; .installationId == null)' >/dev/null ||
  fail "the release query carried the installation id"

# The device was read and its battery estimate asked for, with the installation id.
estimated() { [ -n "$(answered v1/battery/estimate)" ]; }
waitfor 10 estimated || fail "no battery estimate was asked for"
answered v1/battery/estimate | jq -e -s 'all(.[]; .installationId != null)' >/dev/null ||
  fail "a battery estimate without the installation id header"

sleep 2  # the estimate reaches the page on the next render; its paint follows
import -window root "$artifacts/demo.png"

# The demo device's control file: the program's tick takes the command and removes the file.
# Unplugged and plugged in again, the device is read on a new connection, which asks for its
# estimate again.
control() {
  echo "$1" >"$work/control.new" && mv "$work/control.new" "$work/control"
  waitfor 2 test ! -e "$work/control" || fail "the demo device did not take \"$1\""
}
control unplug
sleep 1.5
control plug
reestimated() { [ "$(answered v1/battery/estimate | wc -l)" -ge 2 ]; }
waitfor 15 reestimated || fail "no new battery estimate after plugging the device in again"

kinds() { answered /v1/telemetry | jq -r '.body[].kind'; }
uploaded() { kinds | grep -qx daily && kinds | grep -qx first_launch; }
# Telemetry uploads on its minute tick, so the first upload comes about 60 s after start.
waitfor 65 uploaded || fail "no telemetry upload with first_launch and daily"
echo "telemetry kinds: $(kinds | sort | uniq -c | tr -s ' \n' ' ')"
! kinds | grep -qx foreground || fail "a foreground event was uploaded"
# Every upload names its installation in the header, and each event belongs to it.
answered /v1/telemetry | jq -e -s 'all(.[]; .installationId != null and
    (.installationId as $id | all(.body[]; .installId == $id)))' >/dev/null ||
  fail "a telemetry upload without its installation id header"

analyses="$(answered /v1/history/analyze | wc -l)"
echo "analysis requests answered: $analyses"
refused="$(jq -c 'select(.problem != null)' "$log")"
[ -z "$refused" ] || fail "the server refused requests: $refused"
kill -0 "$pid" || fail "nimbra is gone"
echo "demo_check: passed"
