#!/usr/bin/env bash
# 256 MiB received by TNetSocket through dante (SOCKS 5) against the same
# transfer direct, under Wine in the 64-bit prefix (the program is built
# with the socket tests in build/win32). Ends with "ratio socks-throughput VALUE".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/wine-setup.sh"
"$root/tests/net/socket/socks_peers.sh" win64 "$root/build/win32/tests/net/socket/bench_socks_throughput.exe" "$@"
