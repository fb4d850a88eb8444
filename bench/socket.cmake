# bench_socket: the socket component's loopback throughput runs under Wine,
# so the launcher written here builds the Windows program (tests/net/socket
# builds it in build/win32) and runs it in the 64-bit prefix.
set(launcher_source ${CMAKE_CURRENT_BINARY_DIR}/socket-launcher/bench_socket)
file(WRITE ${launcher_source}
"#!/usr/bin/env bash
set -euo pipefail
root=${PROJECT_SOURCE_DIR}
CORVAN_JOBS=\${CORVAN_JOBS:-1} \"\$root/scripts/build.sh\" win32 >/dev/null
. \"\$root/scripts/wine-env.sh\"
trap xvfb_stop EXIT
xvfb_ensure
\"\$root/scripts/wine-run.sh\" win64 \"\$root/build/win32/tests/net/socket/bench_socket_throughput.exe\" \"\$@\"
")
file(COPY ${launcher_source} DESTINATION ${CMAKE_CURRENT_BINARY_DIR}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
add_custom_target(bench_socket)
