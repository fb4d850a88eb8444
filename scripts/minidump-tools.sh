#!/usr/bin/env bash
# Installs the outside minidump readers the tests check our dumps with: the
# npm package "minidump" (pinned), which ships a prebuilt stack walker and
# dumper for Linux x64. Its install script wants a source checkout, so it
# is installed without scripts, into build/npm. Prints the folder holding
# minidump_stackwalk and minidump_dump; exits 3 when npm cannot fetch it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=0.26.0
dir=$root/build/npm
bin=$dir/node_modules/minidump/bin/linux-x64
installed() {
  [ -x "$bin/minidump_stackwalk" ] && [ -x "$bin/minidump_dump" ] &&
    grep -q "\"version\": \"$version\"" "$dir/node_modules/minidump/package.json"
}
if ! installed; then
  command -v npm >/dev/null || { echo "minidump-tools: npm is not installed" >&2; exit 3; }
  mkdir -p "$dir"
  # One install at a time: both prefixes' tests may ask at once.
  exec 9>"$dir/.lock"
  flock 9
  if ! installed; then
    npm install --ignore-scripts --no-audit --no-fund --prefix "$dir" "minidump@$version" >&2 ||
      { echo "minidump-tools: npm could not install minidump@$version" >&2; exit 3; }
  fi
fi
echo "$bin"
