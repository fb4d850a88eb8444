#!/usr/bin/env bash
# Starts the delivery transports' peers on loopback: aiosmtpd in six modes
# (plain, auth, noauthlogin, slow, split, drop), the upload target and
# tinyproxy in front of it; runs a Windows test program with their ports in
# CORVAN_SMTP_<MODE>_PORT, CORVAN_UPLOAD_PORT and CORVAN_PROXY_PORT and the
# folders where they store what they received in CORVAN_SMTP_<MODE>_DIR and
# CORVAN_UPLOAD_DIR (Wine paths); then stops them.
#   mail_peers.sh win64|win32 TEST.exe [test arguments...]
set -u
root=$(cd "$(dirname "$0")/../../.." && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2; shift 2
peers_begin

modes=(plain auth noauthlogin slow split drop)
read -r -a ports < <(free_ports $((${#modes[@]} + 2)))
for i in "${!modes[@]}"; do
  mode=${modes[$i]} port=${ports[$i]}
  /usr/bin/python3 "$here/smtp_peer.py" 127.0.0.1 "$port" "$work/smtp-$mode" "$mode" &
  pids+=($!)
  upper=${mode^^}
  export "CORVAN_SMTP_${upper}_PORT=$port" "CORVAN_SMTP_${upper}_DIR=$(unix_to_wine "$work/smtp-$mode")"
done
upload_port=${ports[${#modes[@]}]} proxy_port=${ports[$((${#modes[@]} + 1))]}
/usr/bin/python3 "$here/upload_peer.py" "$upload_port" "$work/upload" &
pids+=($!)
tinyproxy_start "$work/tinyproxy" "$proxy_port"
pids+=("$TINYPROXY_PID")
for p in "${ports[@]}"; do wait_for_port "$p" || exit 1; done

export CORVAN_UPLOAD_PORT=$upload_port CORVAN_PROXY_PORT=$proxy_port
export CORVAN_UPLOAD_DIR="$(unix_to_wine "$work/upload")"
status=0
"$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" "$@" || status=1
# Once more with http_proxy naming tinyproxy, which WinINet reports as the
# system's proxy (wine-run.sh would unset it).
. "$root/scripts/wine-env.sh"
WINEPREFIX=$(wine_prefix_path "$prefix_name") CORVAN_SYSTEM_PROXY=1 \
  http_proxy="http://127.0.0.1:$proxy_port" wine "$test_exe" --gtest_filter='Upload.ThroughTheSystemProxy' ||
  status=1
exit $status
