#!/usr/bin/env bash
# Installs everything the build and the tests need. Idempotent: installs only
# what is missing, so a second run costs a few seconds.
set -euo pipefail

# One package list per topic in scripts/packages/*.txt ("#" starts a comment).
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t PACKAGES < <(sed 's/#.*//' "$here"/packages/*.txt | tr -s ' \t' '\n' | grep -v '^$' | sort -u)

need_root() { if [ "$(id -u)" -ne 0 ]; then echo "sudo"; fi; }
SUDO=$(need_root)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  FORCE_UPDATE=1
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ -n "${FORCE_UPDATE:-}" ] || [ ! -d /var/lib/apt/lists ] || \
     [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages' -newermt '-1 day' 2>/dev/null | head -1)" ]; then
    # A mirror caught mid-sync fails one index: go on with the lists that came.
    $SUDO apt-get update -qq || echo "setup: apt-get update reported errors; installing from the lists it has" >&2
  fi
  # Servers among the packages (nginx) are for the tests, which start their
  # own: keep the packages' services from starting at install time.
  guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod +x /usr/sbin/policy-rc.d
    guard=1
  fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    "$here/apt-align.sh" "${missing[@]}" || status=$?
  [ -n "$guard" ] && $SUDO rm -f /usr/sbin/policy-rc.d
  [ "${status:-0}" -eq 0 ] || exit "$status"
fi

# The toolchain must be the posix thread model (std::thread, std::mutex).
command -v i686-w64-mingw32-g++-posix >/dev/null || { echo "setup: mingw posix compiler missing" >&2; exit 1; }
echo "setup: ok"
