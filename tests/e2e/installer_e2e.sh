#!/usr/bin/env bash
# Runs the installer's end-to-end scenarios in a network and mount namespace
# of their own: /etc/hosts maps the built-in web host to 127.0.0.1, port 80
# is served by nginx (a setup double signed in one of several ways, a 404,
# an HTML page) or by a scripted server (a truncated answer, a reset after
# the whole signed setup), or by nobody (refused). The prefix is first told
# to trust the signing test root. No query ever leaves the namespace.
# The signature check's own Windows test then reads the same setups.
#   installer_e2e.sh win64|win32 TEST.exe RESULTS_DIR SETUP_DOUBLE.exe RESULT_NAME TRUST_ROOT.exe
#                    SIGNATURE_TEST.exe
set -u
if [ "${CORVAN_IN_NAMESPACE:-}" != 1 ]; then
  exec unshare --net --mount env CORVAN_IN_NAMESPACE=1 "$0" "$@"
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2 results=$3 double=$4 result_name=$5 trust_root=$6 signature_test=$7
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # nginx workers run as an unprivileged user
mkdir -p "$results" "$work/html/downloads" "$work/empty/downloads"
"$root/tests/e2e/make_signed_setups.sh" "$work/setups" "$double" || exit 1
for bits in 32 64; do
  printf '<html><body>Onderhoud</body></html>\n' >"$work/html/downloads/Setup_UltraVNC_$bits.exe"
done
for setup in "$work"/setups/*.exe; do
  name=$(basename "$setup" .exe)
  mkdir -p "$work/$name/downloads"
  for bits in 32 64; do cp "$setup" "$work/$name/downloads/Setup_UltraVNC_$bits.exe"; done
done
chmod -R a+rX "$work"
"$root/scripts/wine-run.sh" "$prefix_name" "$trust_root" "$(unix_to_wine "$work/setups/test-root.der")" ||
  exit 1
printf '127.0.0.1 localhost\n127.0.0.1 www.corvan-ng.nl\n' >"$work/hosts"
printf 'nameserver 127.0.0.1\n' >"$work/resolv.conf"

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
export CORVAN_E2E_SERVED_SETUP="$(unix_to_wine "$work/setups/signed.exe")"
status=0
for scenario in DownloadsAndInstalls ResetAfterDownload NotFound HtmlPage Truncated Refused \
  Tampered Unsigned UntrustedRoot Expired OtherPublisher MissingIntermediate; do
  server_pid=""
  case $scenario in
    DownloadsAndInstalls) start_nginx "$work/signed" ;;
    Tampered) start_nginx "$work/tampered" ;;
    Unsigned) start_nginx "$work/unsigned" ;;
    UntrustedRoot) start_nginx "$work/untrusted-root" ;;
    Expired) start_nginx "$work/expired" ;;
    OtherPublisher) start_nginx "$work/other-publisher" ;;
    MissingIntermediate) start_nginx "$work/no-intermediate" ;;
    NotFound) start_nginx "$work/empty" ;;
    HtmlPage) start_nginx "$work/html" ;;
    ResetAfterDownload) start_scripted --serve-then-reset "$work/setups/signed.exe" ;;
    Truncated) start_scripted --truncate-all "$work/request.bin" ;;
  esac
  [ -n "$server_pid" ] && wait_for_port 80
  "$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" --gtest_filter="Installer.$scenario" \
    --gtest_output="xml:$(unix_to_wine "$results/$result_name.$scenario.xml")" || status=1
  [ -n "$server_pid" ] && peer_stop "$server_pid"
done
CORVAN_SIGNED_SETUPS="$(unix_to_wine "$work/setups")" \
  "$root/scripts/wine-run.sh" "$prefix_name" "$signature_test" --gtest_filter='SignedSetups.*' \
  --gtest_output="xml:$(unix_to_wine "$results/$result_name.SignedSetups.xml")" || status=1
exit $status
