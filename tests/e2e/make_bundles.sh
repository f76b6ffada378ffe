#!/usr/bin/env bash
# Makes the signed bundles the end-to-end tests run and offer as updates, from one build tree:
#   OUT/base      build N, signed with the tests' key: the program the tests start
#   OUT/next      build N+1 of the same program, same key: a good update
#   OUT/otherkey  build N+1 signed with another key: an update that must be refused
#   OUT/broken    build N+1, same key, whose program exits at once: an update to roll back
# Each holds nimbra.app, its zip package and release.json (scripts/bundle's output).
# Usage: make_bundles.sh BUILD-DIR OUT
set -euo pipefail
build_dir="$(cd "$1" && pwd)"
out="$2"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
bundle="$source_dir/scripts/bundle"

rm -rf "$out"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
build="$(sed -n 's/^#define NIMBRA_BUILD "\(.*\)"$/\1/p' "$build_dir/generated/nimbra/build_config.h")"
next=$((build + 1))
# The update server's address without a port: the demo maps port 443 to the reference server.
server=https://127.0.0.1

"$bundle" --out "$out/base" --build-dir "$build_dir" --server "$server" >/dev/null
key="$out/base/minisign.key"
"$bundle" --out "$out/next" --build-dir "$build_dir" --build "$next" --key "$key" \
  --server "$server" >/dev/null
"$bundle" --out "$out/otherkey" --build-dir "$build_dir" --build "$next" --server "$server" \
  >/dev/null

# A build tree whose program is a valid executable for this machine that fails at once.
broken_tree="$out/broken-tree"
mkdir -p "$broken_tree/src" "$broken_tree/generated/nimbra"
cp "$(type -P false)" "$broken_tree/src/nimbra"
cp "$build_dir/src/UpdateInstaller" "$broken_tree/src/"
cp "$build_dir/generated/nimbra/build_config.h" "$broken_tree/generated/nimbra/"
"$bundle" --out "$out/broken" --build-dir "$broken_tree" --build "$next" --key "$key" \
  --server "$server" >/dev/null
rm -rf "$broken_tree"
echo "make_bundles: build $build and $next in $out"
