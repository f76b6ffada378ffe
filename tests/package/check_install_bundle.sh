#!/usr/bin/env bash
# scripts/install-bundle as a user runs it: a bundle signed with the key given installs into
# ~/.local/opt with its desktop entry and icon and says how to install the udev rule; a bundle
# signed with another key, one whose file was changed after signing, one with a file its
# manifest does not list, and a zip whose release signature is not the key's are refused and
# leave the installed copy as it was; --uninstall removes everything but the user's data.
# Usage: check_install_bundle.sh BUILD-DIR
set -euo pipefail
build_dir="$(cd "$1" && pwd)"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
install_bundle="$source_dir/scripts/install-bundle"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$source_dir/scripts/bundle" --out "$work/good" --build-dir "$build_dir" >/dev/null
"$source_dir/scripts/bundle" --out "$work/other" --build-dir "$build_dir" >/dev/null
key="$work/good/minisign.pub"
good_zip="$(echo "$work"/good/*.zip)"
minisign -S -s "$work/good/minisign.key" -m "$good_zip" -x "$good_zip.minisig" >/dev/null

# A copy of the good bundle changed by $1 (run inside the unpacked nimbra.app), zipped again.
tampered() {
  local dir="$work/tampered-$2"
  mkdir -p "$dir" && (cd "$dir" && unzip -q "$good_zip" && cd nimbra.app && eval "$1")
  (cd "$dir" && zip -q -r -y -X bundle.zip nimbra.app)
  echo "$dir/bundle.zip"
}

user="$work/user"
installed() { HOME="$user" XDG_DATA_HOME= "$install_bundle" "$@"; }
said="$(installed --key "$key" "$good_zip")" || fail "a good bundle was refused"
app="$user/.local/opt/nimbra.app"
[ -x "$app/Contents/bin/nimbra" ] || fail "the program is not installed"
grep -q "^Exec=\"$app/Contents/bin/nimbra\"$" "$user/.local/share/applications/com.zuvo.devicecenter.desktop" ||
  fail "the desktop entry does not start the installed program"
[ -f "$user/.local/share/icons/hicolor/256x256/apps/com.zuvo.devicecenter.png" ] || fail "no icon"
grep -q "udevadm trigger" <<< "$said" || fail "no udev rule command printed"
desktop-file-validate "$user/.local/share/applications/com.zuvo.devicecenter.desktop"
before="$(find "$app" -type f -exec sha256sum {} + | sort)"

# What must be refused, each with the words the script says.
cp "$good_zip" "$work/badsig.zip"
minisign -S -s "$work/other/minisign.key" -m "$work/badsig.zip" -x "$work/badsig.zip.minisig" >/dev/null
refusals=(
  "$(echo "$work"/other/*.zip)|does not verify"
  "$(tampered 'echo x >> Contents/Resources/web/index.html' changed)|does not match the signed manifest"
  "$(tampered 'echo x > Contents/Resources/extra' added)|does not list"
  "$work/badsig.zip|the release's signature does not verify"
)
for case in "${refusals[@]}"; do
  zip="${case%%|*}" words="${case#*|}"
  if out="$(installed --key "$key" "$zip" 2>&1)"; then fail "installed $zip"; fi
  grep -q "$words" <<< "$out" || fail "$zip refused with: $out"
  [ "$(find "$app" -type f -exec sha256sum {} + | sort)" = "$before" ] || fail "$zip changed the install"
  echo "refused $(basename "$zip"): $out"
done

mkdir -p "$user/.local/share/com.zuvo.devicecenter" && touch "$user/.local/share/com.zuvo.devicecenter/kept"
installed --uninstall >/dev/null
[ ! -e "$app" ] && [ ! -e "$user/.local/share/applications/com.zuvo.devicecenter.desktop" ] ||
  fail "--uninstall left the program or its entry"
[ -f "$user/.local/share/com.zuvo.devicecenter/kept" ] || fail "--uninstall removed the user's data"
echo "install-bundle: installed, four bad bundles refused, uninstalled with the data kept"
