#!/usr/bin/env bash
# Fallback for setup.sh when apt cannot resolve an install because one
# architecture's index is older than the other's (a mirror caught mid-sync
# serves the amd64 security index but not the i386 one): pins every
# multi-arch pair, and every package that needs an exact version of one,
# to versions both indexes have, then installs.
#   scripts/apt-align.sh PACKAGE...
set -uo pipefail
SUDO=$([ "$(id -u)" -ne 0 ] && echo sudo)
args=("$@")
declare -A pinned
has_version() { apt-cache madison "$1" | awk -F'|' '{gsub(/ /,"",$2); print $2}' | grep -qxF "$2"; }
for _ in $(seq 1 20); do
  out=$(apt-get install -s --no-install-recommends --allow-downgrades "${args[@]}" 2>&1)
  if ! grep -q 'Unable to correct\|unmet dependencies' <<<"$out"; then
    DEBIAN_FRONTEND=noninteractive exec $SUDO apt-get install -y -qq --no-install-recommends \
      --allow-downgrades "${args[@]}"
  fi
  added=0
  # "X:i386 ... but it is not going to be installed": align X's two architectures.
  for n in $(grep -oE '[a-z0-9.+-]+:i386' <<<"$out" | sed 's/:i386$//' | sort -u); do
    [ -n "${pinned[$n]:-}" ] && continue
    v=$(apt-cache policy "$n:i386" | awk '/Candidate/{print $2}')
    [ -n "$v" ] && [ "$v" != "(none)" ] && has_version "$n" "$v" || continue
    pinned[$n]=1; added=1
    args+=("$n=$v" "$n:i386=$v")
  done
  # "P : Depends: D (= V) but W is to be installed": take P at version W.
  while read -r p w; do
    [ -n "${pinned[$p]:-}" ] && continue
    has_version "$p" "$w" || continue
    pinned[$p]=1; added=1
    args+=("$p=$w")
  done < <(sed -nE 's/^ ?([a-z0-9.+-]+) : +Depends: [^ ]+ \(= [^)]+\) but ([^ ]+) is to be installed.*/\1 \2/p' <<<"$out")
  [ $added = 1 ] || { echo "$out" | tail -15 >&2; exit 1; }
done
exit 1
