#!/usr/bin/env bash
# The minidumps of our crashing programs, read by a stack walker and dumper
# nobody here wrote (scripts/minidump-tools.sh): an access violation, a C++
# throw and a stack overflow of the fault child, and an access violation
# of corvan.exe itself (driven by its own fault test). minidump_check.py
# compares what the tools read, with the build's Breakpad symbols, with the
# bug report of the same crash; scripts/symbolicate.sh shows the same walk.
# corvan.exe is shipped lean: at most 4 MB, with a CodeView record.
#   minidump_tools_test.sh win64|win32 FAULT_CHILD.exe CORVAN_FAULT_TEST.exe CORVAN.exe SYMBOLS
# Exits 77 (skipped) when the tools cannot be installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
prefix_name=$1 child=$2 corvan_test=$3 corvan=$4 symbols=$5
status=0
bin=$("$root/scripts/minidump-tools.sh") || status=$?
if [ "$status" -ne 0 ]; then
  echo "SKIPPED: the outside minidump readers (npm package minidump) could not be installed" >&2
  exit 77
fi
. "$root/scripts/wine-env.sh"
. "$root/scripts/test-peers.sh"
xvfb_ensure
wine_prefix_ensure "$prefix_name"
export WINEPREFIX
WINEPREFIX=$(wine_prefix_path "$prefix_name")
work=$(mktemp -d)
trap 'rm -rf "$work"; xvfb_stop' EXIT

# The dump a report names, in the process's own temporary folder of the prefix.
dump_of() {  # report program
  local name
  name=$(sed -n 's/^minidump *: *\(minidump-[0-9-]*\.dmp\)\r*$/\1/p' "$1" | head -n 1)
  [ -n "$name" ] || { echo "no minidump named in $1" >&2; return 1; }
  find "$WINEPREFIX/drive_c/users" -path "*/$2.zelExcept/*/$name" | head -n 1
}

failed=0
for case in write:handler:access-violation ownthrow:handler:throw overflow:thread:stack-overflow; do
  IFS=: read -r fault place kind <<<"$case"
  dir=$work/$fault
  mkdir -p "$dir"
  # A console program: it prints its report, which is read from the file.
  wine "$child" "$fault" "$place" "$(unix_to_wine "$dir")" >"$dir/output.txt" || true
  echo "== $kind ($fault in $place)"
  dump=$(dump_of "$dir/bugreport.txt" fault_child) || { failed=1; continue; }
  python3 "$here/minidump_check.py" --bin "$bin" --kind "$kind" --program fault_child.exe \
    --report "$dir/bugreport.txt" --seen "$dir/seen.txt" --symbols "$symbols" --dump "$dump" ||
    failed=1
done

# Without dbghelp the report goes out without a dump and says so.
echo "== without dbghelp.dll"
dir=$work/no-dbghelp
mkdir -p "$dir"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;dbghelp=" \
  wine "$child" write handler "$(unix_to_wine "$dir")" >"$dir/output.txt" || true
note=$(sed -n 's/^minidump *: *\(.*\)\r$/\1/p' "$dir/bugreport.txt")
if [ "$note" != "not written: dbghelp.dll is missing" ] ||
  ! grep -q '^exception class *: EAccessViolation' "$dir/bugreport.txt" ||
  [ -n "$(find "$WINEPREFIX/drive_c/users" -path '*/fault_child.zelExcept/*/*.dmp')" ]; then
  echo "FAILED: without dbghelp.dll the report says \"$note\"" >&2
  failed=1
fi

# corvan.exe: its fault test keeps the report here; the dump stays in the
# program's temporary folder.
echo "== corvan.exe (access violation in a message handler)"
report=$work/corvan-bugreport.txt
if CORVAN_KEEP_REPORT=$(unix_to_wine "$report") wine "$corvan_test" --gtest_filter='CorvanFault.*' \
  >"$work/corvan-test.txt"; then
  dump=$(dump_of "$report" corvan) &&
    python3 "$here/minidump_check.py" --bin "$bin" --kind access-violation --program corvan.exe \
      --report "$report" --symbols "$symbols" --dump "$dump" || failed=1
  walk=$("$root/scripts/symbolicate.sh" "$dump" "$symbols") || walk=
  if ! grep -q '^ 0  corvan\.exe!.* \[.*\.cpp : [0-9]' <<<"$walk"; then
    echo "FAILED: symbolicate.sh names no line of corvan.exe's faulting frame" >&2
    failed=1
  fi
else
  cat "$work/corvan-test.txt"
  failed=1
fi
# The program as shipped: lean, and known to the walker by its CodeView record.
echo "== corvan.exe as shipped"
size=$(stat -c %s "$corvan")
if [ "$size" -gt $((4 * 1024 * 1024)) ]; then
  echo "FAILED: corvan.exe has $size bytes, more than 4 MB" >&2
  failed=1
fi
headers=$(i686-w64-mingw32-objdump -p "$corvan")
if ! grep -q 'format RSDS signature [0-9a-f]\{32\} age 1 pdb' <<<"$headers"; then
  echo "FAILED: corvan.exe carries no CodeView record" >&2
  failed=1
fi
echo "corvan.exe: $size bytes"
exit $failed
