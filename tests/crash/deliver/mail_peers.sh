#!/usr/bin/env bash
# Starts the delivery transports' peers on loopback: aiosmtpd in nine modes
# (plain, auth, noauthlogin, slow, split, drop, starttls, implicit, late;
# see smtp_peer.py), the upload target,
# tinyproxy in front of it, and nginx serving it over HTTPS with a
# certificate for localhost from a test root the prefix trusts, one for
# another name and one from a root nobody trusts; runs a Windows test program
# with their ports in CORVAN_SMTP_<MODE>_PORT, CORVAN_UPLOAD_PORT,
# CORVAN_PROXY_PORT and CORVAN_HTTPS_{GOOD,OTHER,STRANGER}_PORT and the
# folders where they store what they received in CORVAN_SMTP_<MODE>_DIR and
# CORVAN_UPLOAD_DIR (Wine paths); then stops them. The prefix is made to
# trust the test root with $CORVAN_TRUST_TEST_ROOT (trust_test_root.exe).
#   mail_peers.sh win64|win32 TEST.exe [test arguments...]
set -u
root=$(cd "$(dirname "$0")/../../.." && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2; shift 2
peers_begin
chmod 755 "$work"  # nginx workers run as an unprivileged user

modes=(plain auth noauthlogin slow split drop starttls implicit late)
ca="$root/build/tls-test-ca"
tls_test_ca "$ca" || exit 1
tls_trust_root "$prefix_name" "$CORVAN_TRUST_TEST_ROOT" "$ca" || exit 1
export CORVAN_TLS_CA=$ca
read -r -a ports < <(free_ports $((${#modes[@]} + 5)))
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
https_servers=
for i in 0 1 2; do
  name=$(echo good other stranger | cut -d' ' -f$((i + 1)))
  cert=$(echo localhost other stranger | cut -d' ' -f$((i + 1)))
  port=${ports[$((${#modes[@]} + 2 + i))]}
  export "CORVAN_HTTPS_${name^^}_PORT=$port"
  https_servers+="server { listen 127.0.0.1:$port ssl; ssl_certificate $ca/$cert.pem;
    ssl_certificate_key $ca/$cert.key; client_max_body_size 0;
    location / { proxy_pass http://127.0.0.1:$upload_port; } }
"
done
nginx_start "$work/nginx" "$https_servers"
pids+=("$NGINX_PID")
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
