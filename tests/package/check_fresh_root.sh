#!/usr/bin/env bash
# Installs the Debian package on a fresh minimal Debian 12 root, as a user of a bare system
# would, and checks it there: apt resolves every dependency from nothing (Recommends left
# out, so that Depends alone must be enough), ldd finds every library of every program in the
# package, `nimbra --diagnostics` runs, the program shows its window under Xvfb, and purging
# it leaves none of its files behind.
#
# The root is made once by debootstrap (Debian's own packages only) and kept, pristine, with
# an archive of the packages downloaded into it, under NIMBRA_ROOT_CACHE (default
# BUILD_DIR/package-root-cache); every run works on a copy. Everything mounted for the root
# lives in a private mount namespace, so nothing stays mounted when the run ends, however it
# ends. Needs root; skipped (exit 77) without it or when the Debian mirror cannot be reached.
#
# Usage: check_fresh_root.sh BUILD_DIR
# The package is the one check_package.sh left in BUILD_DIR/package.
set -euo pipefail

readonly skip=77
readonly suite=bookworm
readonly test_tools=(xvfb xauth xdotool dbus-daemon)

say() { echo "fresh root: $*"; }
fail() { echo "fresh root: $*" >&2; exit 1; }

# Runs a command inside the root with a clean environment.
inside() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

# Every path in the root but the ones apt, dpkg and the kernel change on their own.
list_root() {
  inside find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp \
    -o -path /var/cache/apt -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/log \
    -o -path /var/cache/debconf -o -path /var/cache/ldconfig \) -prune -o -print | sort
}

# The checks themselves, run by the outer part in its own mount namespace.
# Arguments: ROOT ARCHIVES DEB REPORT_DIR
in_namespace() {
  root="$1"
  local archives="$2" deb="$3" report="$4"
  # The root as a mount point of its own, so that it can be pivoted to.
  mount --rbind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount --bind "$archives" "$root/var/cache/apt/archives"
  cp /etc/resolv.conf "$root/etc/resolv.conf"

  list_root >"$report/before.list"
  local packages_before
  packages_before="$(inside dpkg-query -W -f='.\n' | wc -l)"

  inside apt-get update -qq
  cp "$deb" "$root/tmp/"
  say "apt-get install --no-install-recommends ./$(basename "$deb")"
  inside sh -c "cd /tmp && apt-get install -y -q --no-install-recommends ./$(basename "$deb")" \
    >"$report/install.log" 2>&1 || { tail -n 30 "$report/install.log" >&2; fail "apt-get install failed"; }
  local packages_after
  packages_after="$(inside dpkg-query -W -f='.\n' | wc -l)"
  say "installed nimbra and $((packages_after - packages_before - 1)) packages it depends on," \
    "downloaded $(grep -o '^Need to get [^/]*' "$report/install.log" | sed 's/Need to get //' || echo nothing)"
  inside dpkg -L nimbra >"$report/nimbra.files"

  # Every ELF file the package brings, programs and libraries alike.
  local file elves=0 missing
  while read -r file; do
    [ -f "$root$file" ] && [ ! -L "$root$file" ] || continue
    [ "$(head -c 4 "$root$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
    missing="$(inside ldd "$file" | grep 'not found' || true)"
    [ -z "$missing" ] || fail "ldd $file:"$'\n'"$missing"
    elves=$((elves + 1))
  done <"$report/nimbra.files"
  [ "$elves" -gt 0 ] || fail "no program in the package"
  say "ldd finds every library of the package's $elves ELF file(s)"

  inside mkdir -p /tmp/home
  inside env HOME=/tmp/home nimbra --diagnostics >"$report/diagnostics.txt" 2>&1 ||
    { cat "$report/diagnostics.txt" >&2; fail "nimbra --diagnostics failed"; }
  say "nimbra --diagnostics:"
  sed 's/^/  | /' "$report/diagnostics.txt"

  # The test's own tools, installed after the checks above so that they cannot have brought
  # a library the package forgot to depend on.
  inside apt-get install -y -q --no-install-recommends "${test_tools[@]}" >"$report/tools.log" 2>&1 ||
    { tail -n 30 "$report/tools.log" >&2; fail "the test tools did not install"; }
  # The window, under Xvfb and a session bus of its own, found by the program's process id once
  # mapped and visible; the wait only guards against a hang. Run in a root pivoted to, not
  # chrooted into: WebKit's sandbox (bubblewrap) needs / to be its mount namespace's root. A
  # network namespace of its own keeps its X display apart from any other on this machine.
  # Xvfb's frame buffer, once the first state is rendered, is kept as a screenshot for people,
  # not for the verdict.
  cat >"$root/tmp/show-window.sh" <<'EOF'
NIMBRA_STARTUP_REPORT=/tmp/startup.txt nimbra >/tmp/nimbra.log 2>&1 & pid=$!
id="$(timeout 600 xdotool search --sync --onlyvisible --pid "$pid" | head -n 1)"
if [ -n "$id" ] && kill -0 "$pid" 2>/dev/null; then
  echo "window $id \"$(xdotool getwindowname "$id")\" $(xdotool getwindowgeometry "$id" | sed -n 's/.*Geometry: //p')"
  # The startup report is written at the first rendered state: the frame worth keeping.
  for _ in $(seq 1200); do [ -f /tmp/startup.txt ] && break; sleep 0.5; done
  cp /tmp/fb/Xvfb_screen0 /tmp/screen.xwd
fi
kill "$pid" 2>/dev/null; wait "$pid"
EOF
  mkdir -p "$root/tmp/fb" "$root/tmp/home"
  local window
  window="$(unshare --mount --net --propagation private -- sh -c '
    [ -n "$1" ] && cd "$1" && mkdir .host && pivot_root . .host && cd / &&
    exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp/home LANG=C.UTF-8 \
      NIMBRA_SIMULATED_DEVICE=1 GSK_RENDERER=cairo WEBKIT_DISABLE_COMPOSITING_MODE=1 GTK_A11Y=none \
      sh -c "umount -l /.host && rmdir /.host && exec dbus-run-session -- \
        xvfb-run -a -s \"-screen 0 1024x768x24 -fbdir /tmp/fb\" sh /tmp/show-window.sh"' \
    sh "$root" 2>"$report/window.log" | grep '^window ' || true)"
  cp "$root/tmp/nimbra.log" "$report/" 2>/dev/null || true
  if [ -z "$window" ]; then
    sed 's/^/  | /' "$report/window.log" "$report/nimbra.log" >&2
    fail "no window appeared"
  fi
  say "$window shown"
  if [ -f "$root/tmp/screen.xwd" ] && command -v convert >/dev/null; then
    convert "xwd:$root/tmp/screen.xwd" "$report/window.png" && say "screenshot: $report/window.png"
  fi

  say "root with the package installed: $(du -sh -x "$root" | cut -f1)"
  rm -rf "$root/tmp/home" "$root/tmp/fb"
  inside apt-get purge -y -q --autoremove nimbra "${test_tools[@]}" >"$report/purge.log" 2>&1 ||
    { tail -n 30 "$report/purge.log" >&2; fail "apt-get purge failed"; }
  ! inside dpkg -L nimbra >/dev/null 2>&1 || fail "dpkg still knows nimbra after the purge"
  list_root >"$report/after.list"

  # What the package installed and the names it uses must be gone; what its dependencies and
  # the test tools left (machine-id, caches made while they ran) is reported only.
  local added left
  added="$(comm -13 "$report/before.list" "$report/after.list")"
  left="$( (grep -Fxf "$report/nimbra.files" <<<"$added" || true
            grep -Ei 'nimbra|zuvo' <<<"$added" || true) | sort -u)"
  [ -z "$left" ] || fail "the purge left:"$'\n'"$left"
  say "apt-get purge: dpkg -L nimbra lists nothing, none of its $(wc -l <"$report/nimbra.files") paths remain"
  [ -z "$added" ] || say "left by its dependencies and the test tools, not its own ($(grep -c . <<<"$added")): $(head -n 8 <<<"$added" | tr '\n' ' ')"
  # The kept archive loses the packages the mirror no longer offers.
  inside apt-get autoclean -qq >/dev/null
}

if [ "${1:-}" = --in-namespace ]; then
  shift
  in_namespace "$@"
  exit 0
fi

started=$SECONDS
build="$(realpath "$1")"
[ "$(id -u)" -eq 0 ] || { say "skipped: chroot and debootstrap need root"; exit $skip; }
command -v debootstrap >/dev/null || PATH="$PATH:/usr/sbin:/sbin"
command -v debootstrap >/dev/null || { say "skipped: debootstrap is not installed"; exit $skip; }
deb="$(ls "$build"/package/nimbra_*.deb 2>/dev/null | head -n 1 || true)"
[ -n "$deb" ] || fail "no package in $build/package (check_package.sh makes it)"

mirror="${NIMBRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
cache="${NIMBRA_ROOT_CACHE:-$build/package-root-cache}"
pristine="$cache/$suite-minbase"
archives="$cache/archives"
mkdir -p "$archives/partial"

if ! curl -fsS -o /dev/null --max-time 60 "$mirror/dists/$suite/InRelease"; then
  say "skipped: $mirror cannot be reached"
  exit $skip
fi

if [ ! -f "$pristine/.complete" ]; then
  say "making the $suite root (debootstrap --variant=minbase) in $pristine"
  rm -rf "$pristine" "$pristine.new"
  debootstrap --variant=minbase --cache-dir="$archives" "$suite" "$pristine.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log" >&2; fail "debootstrap failed"; }
  security="${mirror%/debian}/debian-security"
  cat >"$pristine.new/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
  # The archive is shared with the host folder above; keep what apt downloads in it, and let
  # apt write there as root. dpkg need not sync every file of a root thrown away afterwards.
  cat >"$pristine.new/etc/apt/apt.conf.d/90nimbra-test" <<'EOF'
APT::Sandbox::User "root";
APT::Keep-Downloaded-Packages "true";
EOF
  echo force-unsafe-io >"$pristine.new/etc/dpkg/dpkg.cfg.d/90nimbra-test"
  touch "$pristine.new/.complete"
  mv "$pristine.new" "$pristine"
fi
say "pristine root: $(du -sh -x "$pristine" | cut -f1) in $pristine"

root="$build/package-root"
report="$build/package-root-report"
rm -rf "$root" "$report"
mkdir -p "$report"
trap 'rm -rf "$root"' EXIT
cp -a "$pristine" "$root"
rm "$root/.complete"

unshare --mount --propagation private -- "$0" --in-namespace "$root" "$archives" "$deb" "$report"
say "archive cache: $(du -sh "$archives" | cut -f1); the test took $((SECONDS - started)) s"
