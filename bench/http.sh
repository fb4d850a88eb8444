#!/usr/bin/env bash
# Download rate of our HTTP client against WinINet in the same Wine prefix:
# a 200 MiB file from nginx on loopback into a file, twice each, best run
# counted; our peak memory also for a 20 MiB file, to show it does not grow
# with the file; then the same 200 MiB over HTTPS (nginx with a certificate
# under a test root the prefix trusts). Ends with
# "ratio http-download <ours / WinINet>" and
# "ratio https-download <ours / WinINet>".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
. "$root/scripts/test-peers.sh"
xvfb_ensure
wine_prefix_ensure win64
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path win64)
work=$(mktemp -d)
chmod 755 "$work"
cleanup() { [ -n "${nginx_pid:-}" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$work"; xvfb_stop; }
trap cleanup EXIT
mkdir -p "$work/site"
head -c $((200 * 1048576)) /dev/zero | tr '\0' 'x' >"$work/site/big.bin"
head -c $((20 * 1048576)) /dev/zero >"$work/site/small.bin"
read -r port tls_port < <(free_ports 2)
ca="$root/build/tls-test-ca"
tls_test_ca "$ca"
tls_trust_root win64 "$root/build/win32/tests/e2e/trust_test_root.exe" "$ca"
nginx_start "$work/nginx" "server { listen 127.0.0.1:$port; root $work/site; }
  server { listen 127.0.0.1:$tls_port ssl; root $work/site;
    ssl_certificate $ca/localhost.pem; ssl_certificate_key $ca/localhost.key; }"
nginx_pid=$NGINX_PID
wait_for_port "$port"
wait_for_port "$tls_port"

exe=$root/build/win32/bench/bench_http_download.exe
out=$(unix_to_wine "$work/out.bin")
run() { wine "$exe" "$1" "http://127.0.0.1:$port/$2" "$out"; }
run_tls() { wine "$exe" "$1" "https://localhost:$tls_port/$2" "$out"; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
best() { sort -g | tail -1; }
ours=() theirs=()
for _ in 1 2; do
  o=$(run ours big.bin); echo "$o"; ours+=("$(echo "$o" | field rate_mib_s)")
  w=$(run wininet big.bin); echo "$w"; theirs+=("$(echo "$w" | field rate_mib_s)")
done
small=$(run ours small.bin); echo "$small"
our_rate=$(printf '%s\n' "${ours[@]}" | best)
their_rate=$(printf '%s\n' "${theirs[@]}" | best)
echo "our rate ${our_rate} MiB/s, WinINet ${their_rate} MiB/s"
echo "our peak memory: $(echo "$small" | field peak_mib) MiB for 20 MiB, $(echo "$o" | field peak_mib) MiB for 200 MiB"
python3 -c "print('ratio http-download %.2f' % ($our_rate / $their_rate))"

ours=() theirs=()
for _ in 1 2; do
  o=$(run_tls ours big.bin); echo "$o"; ours+=("$(echo "$o" | field rate_mib_s)")
  w=$(run_tls wininet big.bin); echo "$w"; theirs+=("$(echo "$w" | field rate_mib_s)")
done
our_rate=$(printf '%s\n' "${ours[@]}" | best)
their_rate=$(printf '%s\n' "${theirs[@]}" | best)
echo "https: our rate ${our_rate} MiB/s, WinINet ${their_rate} MiB/s, our peak memory $(echo "$o" | field peak_mib) MiB"
python3 -c "print('ratio https-download %.2f' % ($our_rate / $their_rate))"
