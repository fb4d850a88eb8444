#!/usr/bin/env bash
# Direct delivery to mail exchangers, in a network and mount namespace of
# its own: dnsmasq on 127.0.0.2 serves the MX records of the test domains
# and is the only name server in the namespace's resolv.conf (which Wine's
# GetNetworkParams and gethostbyname read); aiosmtpd listens on port 25 of
# 127.0.0.3 to 127.0.0.6 as the exchangers. No query leaves the namespace.
# The test program gets the exchangers' folders in CORVAN_MX_DIR_3 ... _6.
#   mx_namespace.sh win64|win32 TEST.exe [test arguments...]
set -u
if [ "${CORVAN_IN_NAMESPACE:-}" != 1 ]; then
  exec unshare --net --mount env CORVAN_IN_NAMESPACE=1 "$0" "$@"
fi
root=$(cd "$(dirname "$0")/../../.." && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$root/scripts/test-peers.sh"
prefix_name=$1 test_exe=$2; shift 2
peers_begin

ip link set lo up
printf 'nameserver 127.0.0.2\n' >"$work/resolv.conf"
printf '127.0.0.1 localhost\n' >"$work/hosts"
mount --bind "$work/resolv.conf" /etc/resolv.conf
mount --bind "$work/hosts" /etc/hosts

# prio.test: two exchangers, the lower preference listed last; alias.test:
# a CNAME to it; other.test: a domain of its own; fallback.test: its
# preferred exchanger accepts no connections; nomx.test: no MX at all.
cat >"$work/dnsmasq.conf" <<CONF
port=53
listen-address=127.0.0.2
bind-interfaces
no-resolv
no-hosts
pid-file=$work/dnsmasq.pid
mx-host=prio.test,mx-b.prio.test,20
mx-host=prio.test,mx-a.prio.test,10
address=/mx-a.prio.test/127.0.0.3
address=/mx-b.prio.test/127.0.0.4
cname=alias.test,prio.test
mx-host=other.test,mx.other.test,10
address=/mx.other.test/127.0.0.6
mx-host=fallback.test,dead.fallback.test,5
mx-host=fallback.test,mx-b.prio.test,10
address=/dead.fallback.test/127.0.0.9
address=/nomx.test/127.0.0.5
CONF
dnsmasq --conf-file="$work/dnsmasq.conf" --user=root --group=root || exit 1
pids+=("$(cat "$work/dnsmasq.pid")")
for n in 3 4 5 6; do
  /usr/bin/python3 "$here/smtp_peer.py" "127.0.0.$n" 25 "$work/mx-$n" plain &
  pids+=($!)
  export "CORVAN_MX_DIR_$n=$(unix_to_wine "$work/mx-$n")"
done
for n in 3 4 5 6; do
  for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.$n/25") 2>/dev/null && break; sleep 0.05; done
done
# Wine's server creates the program's sockets: it must run inside this
# namespace, so wait for one of the prefix that may still run outside to
# end, and end ours before a test outside would reach it.
. "$root/scripts/wine-env.sh"
wine_prefix_ensure "$prefix_name"
WINEPREFIX=$(wine_prefix_path "$prefix_name") wineserver -w
"$root/scripts/wine-run.sh" "$prefix_name" "$test_exe" "$@"
status=$?
wine_prefix_kill "$prefix_name"
WINEPREFIX=$(wine_prefix_path "$prefix_name") wineserver -w
exit $status
