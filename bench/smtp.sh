#!/usr/bin/env bash
# Time to send a bug report with a 5 MB attachment to aiosmtpd on loopback:
# our SMTP client (under Wine, in the 64-bit prefix) against Python's
# smtplib on the same machine, the best of five runs each, connection and
# message composition included. Ends with
# "ratio smtp-send-time <ours / smtplib>".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" win32 >/dev/null
. "$root/scripts/wine-env.sh"
. "$root/scripts/test-peers.sh"
wine_prefix_ensure win64
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path win64)
work=$(mktemp -d)
cleanup() { [ -n "${peer_pid:-}" ] && kill "$peer_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
head -c $((5 * 1000 * 1000)) /dev/urandom >"$work/report.bin"
read -r port < <(free_ports 1)
/usr/bin/python3 "$root/tests/crash/deliver/smtp_peer.py" 127.0.0.1 "$port" "$work/mail" plain &
peer_pid=$!
wait_for_port "$port"

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }
ours=$(wine "$root/build/win32/bench/bench_smtp_send.exe" "$port" "$(unix_to_wine "$work/report.bin")" 5)
echo "$ours"
theirs=$(/usr/bin/python3 "$root/bench/smtp_send.py" "$port" "$work/report.bin" 5)
echo "$theirs"
# The peer stored every message: the attachment must have arrived intact.
cmp -s "$work/report.bin" "$work/mail/1.part1" || { echo "smtp: attachment damaged" >&2; exit 1; }
python3 -c "print('ratio smtp-send-time %.2f' % ($(echo "$ours" | field seconds) / $(echo "$theirs" | field seconds)))"
