#!/usr/bin/env bash
# The real program under Xvfb (CTest runs this inside dbus-run-session and xvfb-run):
# the window appears at 730 × 657, the page loads and its first renderNimbra completes, a
# screenshot is kept in ARTIFACTS/window.png, a second start exits at once leaving one
# window, and Ctrl+Q quits. Every wait is bounded. Usage: program_check.sh NIMBRA ARTIFACTS
set -euo pipefail
program="$1"
artifacts="$2"
mkdir -p "$artifacts"
work="$(mktemp -d)"
pid=""
cleanup() {
  local status=$?
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "program_check: $*" >&2; exit 1; }

export XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" XDG_CONFIG_HOME="$work/config"
export NIMBRA_SIMULATED_DEVICE=1 NIMBRA_STARTUP_REPORT="$work/report"

"$program" >"$work/first.log" 2>&1 &
pid=$!

waitfor() {  # waitfor SECONDS COMMAND...: polls every 0.1 s
  local tries=$(($1 * 10)); shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}
rendered() { grep -q '^first-render ' "$work/report" 2>/dev/null; }
waitfor 30 rendered || { cat "$work/first.log" >&2; fail "no first render"; }
grep -q '^page-loaded ' "$work/report" || fail "no page load before the first render"

# Top-level windows titled exactly "nimbra" that are mapped with a real size (GTK keeps a
# 1 × 1 helper window of the same name off-screen).
windows() { xwininfo -root -children | grep -E '"nimbra": \(' | grep -v ' 1x1+' || true; }
geometry="$(windows)"
echo "$geometry"
[ "$(echo "$geometry" | grep -c .)" -eq 1 ] || fail "expected one window"
echo "$geometry" | grep -q ' 730x657+' || fail "window is not 730x657"

sleep 0.5  # the first paint follows the first render (platform notes: 150–200 ms)
import -window root "$artifacts/window.png"

second_start=$(date +%s%N)
timeout 20 "$program" >"$work/second.log" 2>&1 || fail "second start failed: $?"
echo "second start exited after $((($(date +%s%N) - second_start) / 1000000)) ms"
kill -0 "$pid" || fail "first instance is gone"
sleep 0.3
[ "$(windows | grep -c .)" -eq 1 ] || fail "a second window appeared"

# Ctrl+Q quits, with the keyboard focus in the page.
window="$(xdotool search --onlyvisible --name '^nimbra$' | head -n 1)"
xdotool mousemove --window "$window" 300 300 click 1
xdotool windowfocus "$window" key ctrl+q
gone() { ! kill -0 "$pid" 2>/dev/null; }
waitfor 20 gone || fail "Ctrl+Q did not quit"
wait "$pid" || fail "the program exited with $? after Ctrl+Q"
pid=""
echo "program_check: passed"
