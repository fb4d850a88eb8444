#!/usr/bin/env bash
# Runs a command with 32-bit x86 programs emulated by qemu-user, for a
# machine whose kernel runs no 32-bit programs (IA-32 emulation off: Wine's
# 32-bit loader fails with "Exec format error"). The registration lives in
# a user and mount namespace of the command's own, so the machine's binfmt
# table stays as it is and nothing outside the command is emulated.
#   scripts/emulate-i386.sh COMMAND [ARGS...]
# Exits 125 when the emulation cannot be set up (no qemu-i386-static, or a
# kernel without binfmt_misc in user namespaces), else with the command's
# exit code.
set -euo pipefail
qemu=/usr/bin/qemu-i386-static
[ -x "$qemu" ] || { echo "emulate-i386: $qemu is missing (package qemu-user-static)" >&2; exit 125; }
# The magic and mask of an i386 ELF executable; F opens the emulator now,
# so it is found from inside any mount namespace the command makes later.
entry=':corvan-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F'
exec unshare --user --map-root-user --mount --propagation private bash -c '
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null &&
    printf "%b" "$1" >/proc/sys/fs/binfmt_misc/register 2>/dev/null ||
    { echo "emulate-i386: no binfmt_misc of our own in a user namespace (kernel before 6.7?)" >&2; exit 125; }
  shift; exec "$@"' emulate-i386 "$entry" "$@"
