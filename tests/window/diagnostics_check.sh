#!/usr/bin/env bash
# "nimbra --diagnostics" with no display at all (no DISPLAY, no WAYLAND_DISPLAY) and the
# simulated device: exits 0 by itself, prints every section of the report and writes nothing
# into the data folder. The program gets a generous bound only so that a hang fails instead of
# blocking CTest. Usage: diagnostics_check.sh NIMBRA
set -euo pipefail
program="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "diagnostics_check: $*" >&2; cat "$work/report" >&2 || true; exit 1; }

status=0
env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$work/data" XDG_CACHE_HOME="$work/cache" \
  XDG_CONFIG_HOME="$work/config" NIMBRA_SIMULATED_DEVICE=1 \
  timeout 60 "$program" --diagnostics >"$work/report" 2>"$work/errors" || status=$?
[ "$status" -eq 0 ] || fail "exited with $status: $(cat "$work/errors")"

for line in "nimbra diagnostics" "Version: " "Installed as: " "Analysis server: " \
  "Update server: " "OS: " "Kernel: " "GTK: " "WebKitGTK: " "hidapi: " "(compiled against)" \
  "Simulated device: yes" "udev rule 70-nimbra.rules: " "USB devices 2759:0003: " \
  "Data: $work/data/nimbra-local (missing)" "Last status read" "Last errors" \
  "only in the report the window copies"; do
  grep -qF -- "$line" "$work/report" || fail "no \"$line\""
done
[ ! -e "$work/data" ] || fail "the report wrote into the data folder"
echo "diagnostics_check: passed"
