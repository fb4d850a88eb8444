#!/usr/bin/env bash
# Every benchmark once, briefly, so that a moved file or a broken program
# shows in CI rather than on the day somebody measures (figures from such a
# run mean nothing). The native programs of build/bench run with a minimal
# time each; the scripts of the Wine benchmarks have every file of the
# repository they name checked, and run only through scripts/bench.sh.
# Ends with "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
passed=0 failed=0
check() {  # name, command...
  local name=$1; shift
  if "$@" >"$root/build/bench/$name.smoke.log" 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "bench smoke: $name failed:"
    tail -n 20 "$root/build/bench/$name.smoke.log"
  fi
}
ratio_lines() {  # program: runs it briefly; it must end with its ratio lines
  "$@" --benchmark_min_time=0.001 --benchmark_repetitions=1 | tee /dev/stderr | grep -q '^ratio '
}
for program in "$root"/build/bench/bench/bench_*; do
  [ -x "$program" ] && check "$(basename "$program")" ratio_lines "$program"
done
named_files() {  # script: every "$root/..." path it names exists
  local path missing=0
  for path in $(grep -o '"\$root/[^"$ ]*"' "$1" | tr -d '"' | sed "s#^\\\$root#$root#" | sort -u); do
    case $path in "$root/build/"*) continue ;; esac
    [ -e "$path" ] || { echo "$1 names $path, which does not exist"; missing=1; }
  done
  return $missing
}
for script in "$root"/bench/*.sh; do
  check "$(basename "$script")" named_files "$script"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
