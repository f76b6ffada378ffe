#!/usr/bin/env bash
# Builds the Debian package from the build tree and checks it the way a distribution would:
# lintian (every tag, info and pedantic included) reports nothing but the justified override,
# the desktop entry and the AppStream metainfo validate, the program is hardened (BIND_NOW,
# full RELRO, FORTIFY) and carries no .comment banner, and the maintainer scripts are there.
# The package stays in BUILD_DIR/package for the fresh-root check (check_fresh_root.sh).
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build="$1"
out="$build/package"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

fail() { echo "package: $*" >&2; exit 1; }

rm -rf "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
rm -rf "$out/_CPack_Packages"
deb="$(ls "$out"/nimbra_*.deb)"
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

tags="$(lintian -I -E --pedantic "$deb" 2>&1 | grep -v 'running with root privileges' || true)"
[ -z "$tags" ] || fail "lintian reports:"$'\n'"$tags"
overrides="$(lintian -I -E --pedantic --show-overrides "$deb" 2>&1)"
grep -q '^O: nimbra: package-contains-documentation-outside-usr-share-doc' <<<"$overrides" ||
  fail "the index.html override is not used"

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/com.zuvo.devicecenter.desktop"
# --no-net: the screenshots are published with each release, after this check.
metainfo="$root/usr/share/metainfo/com.zuvo.devicecenter.metainfo.xml"
validation="$(appstreamcli validate --pedantic --no-net "$metainfo" 2>&1)" &&
  ! grep -q '^[EWIP]:' <<<"$validation" || fail "the metainfo does not validate:"$'\n'"$validation"
grep -q '<url type="homepage">https://' "$metainfo" || fail "the metainfo names no homepage"
[ "$(grep -c '<screenshot[ >]' "$metainfo")" -ge 2 ] || fail "the metainfo shows fewer than two screenshots"
# The release notes against the changelog, read by dpkg's own parser.
changelog="$(zcat "$root/usr/share/doc/nimbra/changelog.gz" | dpkg-parsechangelog -l - --all --format rfc822)"
expected="$(while read -r version; read -r date; do
  read -r _ day month year _ <<<"$date"; echo "$version $(date -d "$day $month $year" +%F)"; done < <(sed -n 's/^\(Version\|Date\): //p' <<<"$changelog"))"
released="$(sed -n 's/.*<release version="\([^"]*\)" date="\([^"]*\)".*/\1 \2/p' "$metainfo")"
[ "$released" = "$expected" ] || fail "the metainfo's releases ($released) are not the changelog's ($expected)"
[ -f "$root/usr/share/icons/hicolor/scalable/apps/com.zuvo.devicecenter.svg" ] ||
  fail "the icon is not named by the application id"

program="$root/usr/bin/nimbra"
# Whole outputs first: grep -q ending a pipe early would fail it under pipefail.
dynamic="$(readelf -d "$program")"; segments="$(readelf -l "$program")"
sections="$(readelf -S "$program")"; symbols="$(nm -D "$program")"
grep -q 'BIND_NOW' <<<"$dynamic" || fail "not linked with BIND_NOW"
grep -q 'GNU_RELRO' <<<"$segments" || fail "no RELRO segment"
grep -q '__[a-z_]*_chk' <<<"$symbols" || fail "no FORTIFY-checked calls"
! grep -q '\.comment' <<<"$sections" || fail "the .comment section is still there"

control="$work/control"
dpkg-deb -e "$deb" "$control"
for script in postinst postrm; do
  [ -x "$control/$script" ] || fail "no executable $script"
  grep -q 'udevadm trigger --subsystem-match=hidraw' "$control/$script" ||
    fail "$script does not apply the udev rule"
done
grep -q 'fonts-wqy-microhei' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "the CJK font is not recommended"
echo "package: lintian clean, metainfo and desktop entry valid, hardened, maintainer scripts present"
