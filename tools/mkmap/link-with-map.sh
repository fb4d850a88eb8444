#!/bin/sh
# Link launcher that gives a Windows program its symbol maps:
#   link-with-map.sh MKMAP NM OBJDUMP WINDRES LINK-COMMAND...
# Links once, writes the text map beside the program and the compact map
# from the first link's symbols and line table, links again with the compact
# map as resource EXCEPT of type ZEL (and, for a program with the reporter,
# its calibration as resource CALIBRATE of type ZEL), and fails when that
# second link moved any code symbol or changed the calibration. Last, the
# PE checksum goes into the header: the start-up integrity check compares
# it. A link without the marker -DCORVAN_SYMBOL_MAP runs as it is.
set -eu
mkmap=$1 nm=$2 objdump=$3 windres=$4
shift 4
case " $* " in
  *" -DCORVAN_SYMBOL_MAP "*) ;;
  *) exec "$@" ;;
esac

out=
prev=
for arg in "$@"; do
  [ "$prev" = "-o" ] && out=$arg
  prev=$arg
done
[ -n "$out" ] || { echo "link-with-map: no -o in the link command" >&2; exit 1; }

work=$out.symbols
mkdir -p "$work"
"$@"
"$nm" --defined-only "$out" > "$work/first.nm"
"$objdump" --dwarf=decodedline "$out" > "$work/lines.txt"
"$mkmap" "$out" "$work/first.nm" "$work/lines.txt" "${out%.*}.map" "$work/except.zel"
printf 'EXCEPT ZEL "%s"\n' "$work/except.zel" > "$work/except.rc"
"$mkmap" --calibrate "$out" "$work/first.nm" "$work/calibrate.bin"
if [ -f "$work/calibrate.bin" ]; then
  printf 'CALIBRATE ZEL "%s"\n' "$work/calibrate.bin" >> "$work/except.rc"
fi
"$windres" "$work/except.rc" -O coff -o "$work/except.o"
"$@" "$work/except.o"
"$nm" --defined-only "$out" > "$work/second.nm"
"$mkmap" --check "$work/first.nm" "$work/second.nm"
if [ -f "$work/calibrate.bin" ]; then
  "$mkmap" --calibrate "$out" "$work/second.nm" "$work/final.bin"
  cmp -s "$work/calibrate.bin" "$work/final.bin" ||
    { echo "link-with-map: the second link changed the calibration of $out" >&2; exit 1; }
fi
"$mkmap" --checksum "$out"
