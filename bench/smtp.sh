#!/usr/bin/env bash
# Time to send a bug report with a 5 MB attachment to aiosmtpd on loopback:
# our SMTP client (under Wine, in the 64-bit prefix) against Python's
# smtplib on the same machine, the best of five runs each, connection and
# message composition included; then the same over STARTTLS (with AUTH) to
# aiosmtpd requiring it, with a test root the prefix trusts. Ends with
# "ratio smtp-send-time <ours / smtplib>" and
# "ratio smtps-send-time <ours / smtplib>".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
. "$root/scripts/test-peers.sh"
wine_prefix_ensure win64
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path win64)
work=$(mktemp -d)
cleanup() {
  for p in ${peer_pid:-} ${tls_pid:-}; do kill "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
head -c $((5 * 1000 * 1000)) /dev/urandom >"$work/report.bin"
read -r port tls_port < <(free_ports 2)
/usr/bin/python3 "$root/tests/crash/deliver/smtp_peer.py" 127.0.0.1 "$port" "$work/mail" plain &
peer_pid=$!
export CORVAN_TLS_CA="$root/build/tls-test-ca"
tls_test_ca "$CORVAN_TLS_CA"
tls_trust_root win64 "$root/build/win32/tests/e2e/trust_test_root.exe" "$CORVAN_TLS_CA"
/usr/bin/python3 "$root/tests/crash/deliver/smtp_peer.py" 127.0.0.1 "$tls_port" "$work/tls" starttls &
tls_pid=$!
wait_for_port "$port"
wait_for_port "$tls_port"

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
ours=$(wine "$root/build/win32/bench/bench_smtp_send.exe" "$port" "$(unix_to_wine "$work/report.bin")" 5)
echo "$ours"
theirs=$(/usr/bin/python3 "$root/bench/smtp_send.py" "$port" "$work/report.bin" 5)
echo "$theirs"
# The peer stored every message: the attachment must have arrived intact.
cmp -s "$work/report.bin" "$work/mail/1.part1" || { echo "smtp: attachment damaged" >&2; exit 1; }
python3 -c "print('ratio smtp-send-time %.2f' % ($(echo "$ours" | field seconds) / $(echo "$theirs" | field seconds)))"

ours_tls=$(wine "$root/build/win32/bench/bench_smtp_send.exe" "$tls_port" \
  "$(unix_to_wine "$work/report.bin")" 5 starttls)
echo "$ours_tls"
theirs_tls=$(/usr/bin/python3 "$root/bench/smtp_send.py" "$tls_port" "$work/report.bin" 5 \
  "$CORVAN_TLS_CA/root.der")
echo "$theirs_tls"
cmp -s "$work/report.bin" "$work/tls/1.part1" || { echo "smtps: attachment damaged" >&2; exit 1; }
python3 -c "print('ratio smtps-send-time %.2f' % ($(echo "$ours_tls" | field seconds) / $(echo "$theirs_tls" | field seconds)))"
