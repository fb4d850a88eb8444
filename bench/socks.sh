#!/usr/bin/env bash
# 256 MiB received by TNetSocket through dante (SOCKS 5) against the same
# transfer direct, under Wine in the 64-bit prefix (the program is built
# with the socket tests in build/win32). Ends with "ratio socks-throughput VALUE".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
CORVAN_JOBS=${CORVAN_JOBS:-1} "$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
trap xvfb_stop EXIT
xvfb_ensure
"$root/tests/net/socket/socks_peers.sh" win64 "$root/build/win32/tests/net/socket/bench_socks_throughput.exe" "$@"
