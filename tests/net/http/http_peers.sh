#!/usr/bin/env bash
# Starts the HTTP client's peers on loopback (nginx on two ports, the
# scripted server on a third, tinyproxy asking for Basic credentials
# "pu"/"pp" on a fourth), runs a Windows test program with their ports in
# CORVAN_HTTP_PORT, CORVAN_HTTP_PORT2, CORVAN_SCRIPT_PORT and
# CORVAN_PROXY_PORT and the site folder in CORVAN_HTTP_ROOT (Wine path),
# then stops them. nginx guards /private/ with Basic "User"/"Password".
# nginx also serves the site over HTTPS on CORVAN_HTTPS_PORT with a
# certificate for localhost under the test root the prefix is told to trust
# ($CORVAN_TRUST_TEST_ROOT), and on CORVAN_HTTPS_OTHER_PORT with one for
# another name; /to-https of the first port relocates there.
#   http_peers.sh win64|win32 TEST.exe [test arguments...]
set -u
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2; shift 2
peers_begin
chmod 755 "$work"  # nginx workers run as an unprivileged user

read -r port port2 script_port proxy_port https_port other_port < <(free_ports 6)
ca="$root/build/tls-test-ca"
tls_test_ca "$ca" || exit 1
tls_trust_root "$prefix_name" "$CORVAN_TRUST_TEST_ROOT" "$ca" || exit 1

site=$work/site
mkdir -p "$site"
head -c 300000 /dev/urandom >"$site/file.bin"
mkdir -p "$site/private"
cp "$site/file.bin" "$site/private/file.bin"
printf 'User:%s\n' "$(openssl passwd -apr1 Password)" >"$work/htpasswd"
chmod 644 "$work/htpasswd"
printf 'start <!--# echo var="document_uri" --> middle <!--# echo var="host" --> end\n' >"$site/page.shtml"
nginx_start "$work/nginx" "
  server {
    listen 127.0.0.1:$port;
    root $site;
    location = /rel { return 302 /file.bin; }
    location = /abs { return 301 http://127.0.0.1:$port/file.bin; }
    location = /other { return 302 http://127.0.0.1:$port2/file.bin; }
    location = /chain1 { return 302 /chain2; }
    location = /chain2 { return 302 /chain3; }
    location = /chain3 { return 302 /file.bin; }
    location = /loop { return 302 /loop; }
    location = /to-https { return 301 https://localhost:$https_port/file.bin; }
    location ~ \\.shtml\$ { ssi on; default_type text/html; }
    location /private/ { auth_basic \"corvan\"; auth_basic_user_file $work/htpasswd; }
  }
  server { listen 127.0.0.1:$port2; root $site; }
  server { listen 127.0.0.1:$https_port ssl; root $site;
    ssl_certificate $ca/localhost.pem; ssl_certificate_key $ca/localhost.key; }
  server { listen 127.0.0.1:$other_port ssl; root $site;
    ssl_certificate $ca/other.pem; ssl_certificate_key $ca/other.key; }"
pids+=("$NGINX_PID")
python3 "$(dirname "$0")/scripted_http_peer.py" "$script_port" &
pids+=($!)
tinyproxy_start "$work/tinyproxy" "$proxy_port" "BasicAuth pu pp"
pids+=("$TINYPROXY_PID")
peers_ready $port $port2 $script_port $proxy_port $https_port $other_port || exit 1

export CORVAN_HTTP_PORT=$port CORVAN_HTTP_PORT2=$port2 CORVAN_SCRIPT_PORT=$script_port
export CORVAN_PROXY_PORT=$proxy_port CORVAN_HTTPS_PORT=$https_port CORVAN_HTTPS_OTHER_PORT=$other_port
export CORVAN_HTTP_ROOT="$(unix_to_wine "$site")"
"$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" "$@"
