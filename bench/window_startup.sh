#!/usr/bin/env bash
# Measures the real program with the simulated device, by hand (not a test):
#   - time from process start to the first completed renderNimbra, cold (page cache dropped,
#     when allowed) and warm (the median of five starts);
#   - the memory of the whole program after the page loaded: PSS from smaps_rollup of the UI
#     process and every process below it (web, network, sandbox helpers).
# Usage: bench/window_startup.sh [NIMBRA]   (default build/default/src/nimbra)
# Runs itself under dbus-run-session and xvfb-run with the lean settings.
set -euo pipefail
cd "$(dirname "$0")/.."
program="$(realpath "${1:-build/default/src/nimbra}")"
if [ -z "${NIMBRA_MEASURING:-}" ]; then
  export NIMBRA_MEASURING=1 WEBKIT_DISABLE_COMPOSITING_MODE=1 GSK_RENDERER=cairo GTK_A11Y=none
  exec dbus-run-session -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$program"
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export NIMBRA_SIMULATED_DEVICE=1 XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache"

descendants() {
  local children
  children="$(ps -o pid= --ppid "$1" 2>/dev/null || true)"
  for child in $children; do echo "$child"; descendants "$child"; done
}

# start_once: sets $elapsed to the milliseconds from exec to the first render and leaves
# the program running as $pid.
start_once() {
  rm -f "$work/report"
  local start
  start=$(date +%s%N)
  NIMBRA_STARTUP_REPORT="$work/report" "$program" >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < 300; i++)); do
    grep -q '^first-render ' "$work/report" 2>/dev/null && break
    sleep 0.05
  done
  local rendered
  rendered=$(awk '/^first-render /{print $2}' "$work/report")
  elapsed=$(((rendered - start) / 1000000))
}

stop() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; sleep 0.5; }

note=""
sync
echo 3 >/proc/sys/vm/drop_caches 2>/dev/null || note=" (page cache could not be dropped)"
start_once
echo "cold start to first render: $elapsed ms$note"
stop

warm=()
for run in 1 2 3 4 5; do
  start_once
  warm+=("$elapsed")
  if [ "$run" -lt 5 ]; then stop; fi
done
echo "warm starts to first render (ms): ${warm[*]}; median $(printf '%s\n' "${warm[@]}" | sort -n | sed -n 3p)"

sleep 2  # let the page settle after its first render
total=0
for p in $pid $(descendants "$pid"); do
  [ -r "/proc/$p/smaps_rollup" ] || continue
  pss=$(awk '/^Pss:/{print $2}' "/proc/$p/smaps_rollup")
  printf '  %-24s %6d kB\n' "$(cat /proc/$p/comm)" "$pss"
  total=$((total + pss))
done
echo "PSS of the whole program: $((total / 1024)) MB"
stop
