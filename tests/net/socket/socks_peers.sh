#!/usr/bin/env bash
# Starts the SOCKS tests' peers on loopback and runs a Windows test program
# with their ports in the environment, then stops them:
#   CORVAN_DANTE_PORT        dante, SOCKS 4 and 5 without authentication
#   CORVAN_DANTE_AUTH_PORT   dante, SOCKS 5 with user "socksuser" / "secret"
#   CORVAN_MICROSOCKS_PORT   microsocks, SOCKS 5 with user "msuser" / "mspass"
#   CORVAN_SCRIPTED_PORT     our scripted proxy (SOCKS 4A, broken replies)
#   CORVAN_HTTP_PORT         nginx with file.bin (300000 bytes); its folder
#                            in CORVAN_HTTP_ROOT (Wine path)
# dante checks passwords against the system's files: its own passwd and
# shadow are bound over them in a mount namespace of its own.
#   socks_peers.sh win64|win32 TEST.exe [test arguments...]
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2; shift 2
peers_begin
chmod 755 "$work"

read -r dante_port dante_auth_port micro_port scripted_port http_port < <(free_ports 5)

dante_config() {  # port, method
  cat <<CONF
logoutput: $work/danted-$1.log
internal: 127.0.0.1 port = $1
external: 127.0.0.1
clientmethod: none
socksmethod: $2
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass {
  from: 127.0.0.0/8 to: 127.0.0.0/8
  command: connect
}
CONF
}
dante_config "$dante_port" none >"$work/danted.conf"
dante_config "$dante_auth_port" username >"$work/danted-auth.conf"
cp /etc/passwd "$work/passwd"
cp /etc/shadow "$work/shadow"
echo "socksuser:x:4242:4242::/nonexistent:/usr/sbin/nologin" >>"$work/passwd"
echo "socksuser:$(openssl passwd -6 secret):19000:0:99999:7:::" >>"$work/shadow"

danted -f "$work/danted.conf" -p "$work/danted.pid" &
pids+=($!)
unshare --mount sh -c "mount --bind '$work/passwd' /etc/passwd && mount --bind '$work/shadow' /etc/shadow &&
  exec danted -f '$work/danted-auth.conf' -p '$work/danted-auth.pid'" &
pids+=($!)
microsocks -i 127.0.0.1 -p "$micro_port" -u msuser -P mspass >/dev/null 2>&1 &
pids+=($!)
python3 "$here/scripted_socks_peer.py" "$scripted_port" &
pids+=($!)
site=$work/site
mkdir -p "$site"
head -c 300000 /dev/urandom >"$site/file.bin"
nginx_start "$work/nginx" "server { listen 127.0.0.1:$http_port; root $site; }"
pids+=("$NGINX_PID")
peers_ready $dante_port $dante_auth_port $micro_port $scripted_port $http_port || exit 1

export CORVAN_DANTE_PORT=$dante_port CORVAN_DANTE_AUTH_PORT=$dante_auth_port
export CORVAN_MICROSOCKS_PORT=$micro_port CORVAN_SCRIPTED_PORT=$scripted_port
export CORVAN_HTTP_PORT=$http_port CORVAN_HTTP_ROOT="$(unix_to_wine "$site")"
"$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" "$@"
