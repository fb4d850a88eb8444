#!/usr/bin/env bash
# The socket component's loopback throughput against a plain blocking loop,
# under Wine in the 64-bit prefix (the program is built with the socket
# tests in build/win32). Ends with "ratio socket-throughput VALUE".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/wine-setup.sh"
"$root/scripts/wine-run.sh" win64 "$root/build/win32/tests/net/socket/bench_socket_throughput.exe" "$@"
