#!/usr/bin/env bash
# Runs the installer's end-to-end scenarios in a network and mount namespace
# of their own: /etc/hosts maps the built-in web host to 127.0.0.1, port 80
# is served by nginx (the setup double, a 404, an HTML page) or by a scripted
# server (a truncated answer, a reset after the whole setup double), or by
# nobody (refused). No query ever leaves the namespace.
#   installer_e2e.sh win64|win32 TEST.exe RESULTS_DIR SETUP_DOUBLE.exe RESULT_NAME
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2 results=$3 double=$4 result_name=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # nginx workers run as an unprivileged user
mkdir -p "$results" "$work/site/downloads" "$work/html/downloads" "$work/empty/downloads"
for bits in 32 64; do
  cp "$double" "$work/site/downloads/Setup_UltraVNC_$bits.exe"
  printf '<html><body>Onderhoud</body></html>\n' >"$work/html/downloads/Setup_UltraVNC_$bits.exe"
done
printf '127.0.0.1 localhost\n127.0.0.1 www.corvan-ng.nl\n' >"$work/hosts"
printf 'nameserver 127.0.0.1\n' >"$work/resolv.conf"

if [ "${CORVAN_IN_NAMESPACE:-}" != 1 ]; then
  exec unshare --net --mount env CORVAN_IN_NAMESPACE=1 "$0" "$@"
fi

ip link set lo up
mount --bind "$work/hosts" /etc/hosts
mount --bind "$work/resolv.conf" /etc/resolv.conf

server_pid=""
start_nginx() {  # site root
  nginx_start "$work/nginx" "server { listen 127.0.0.1:80; root $1; }"
  server_pid=$NGINX_PID
}
start_scripted() {  # mode argument...
  python3 "$root/tests/net/http/scripted_http_peer.py" 80 "$@" &
  server_pid=$!
}

export CORVAN_E2E_REQUEST_FILE="$(unix_to_wine "$work/request.bin")"
status=0
for scenario in DownloadsAndInstalls ResetAfterDownload NotFound HtmlPage Truncated Refused; do
  server_pid=""
  case $scenario in
    DownloadsAndInstalls) start_nginx "$work/site" ;;
    NotFound) start_nginx "$work/empty" ;;
    HtmlPage) start_nginx "$work/html" ;;
    ResetAfterDownload) start_scripted --serve-then-reset "$double" ;;
    Truncated) start_scripted --truncate-all "$work/request.bin" ;;
  esac
  [ -n "$server_pid" ] && wait_for_port 80
  "$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" --gtest_filter="Installer.$scenario" \
    --gtest_output="xml:$(unix_to_wine "$results/$result_name.$scenario.xml")" || status=1
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
done
exit $status
