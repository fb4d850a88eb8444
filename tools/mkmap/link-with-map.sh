#!/bin/sh
# Link launcher that gives a Windows program its symbol maps:
#   link-with-map.sh MKMAP NM OBJDUMP WINDRES OBJCOPY SYMBOLS-DIR LINK-COMMAND...
# Links once, writes the text map beside the program and the compact map
# from the first link's symbols and line table, links again with the compact
# map as resource EXCEPT of type ZEL (and, for a program with the reporter,
# its calibration as resource CALIBRATE of type ZEL), and fails when that
# second link moved any code symbol or changed the calibration. A program
# whose link also carries -DCORVAN_SYMBOL_FILE is linked with a CodeView
# record (a fresh identifier per link) and shipped lean: its DWARF and its
# symbol table go to NAME.debug beside it (named in the program by a debug
# link), and its Breakpad symbol file to SYMBOLS-DIR. Last, the PE checksum of the file as
# shipped goes into the header: the start-up integrity check compares it.
# A link without the marker -DCORVAN_SYMBOL_MAP runs as it is.
set -eu
mkmap=$1 nm=$2 objdump=$3 windres=$4 objcopy=$5 symbols=$6
shift 6
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

split=
case " $* " in
  *" -DCORVAN_SYMBOL_FILE "*)
    split=1
    set -- "$@" -Wl,--build-id "-Wl,--pdb=${out%.*}.pdb"
    ;;
esac

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
if [ -n "$split" ]; then
  # The code does not move (checked above), so the first link's line table
  # holds for the final program.
  "$objcopy" --only-keep-debug "$out" "${out%.*}.debug"
  "$objcopy" --strip-all --add-gnu-debuglink="${out%.*}.debug" "$out"
  "$objdump" --dwarf=frames-interp "$out" > "$work/frames.txt"
  "$mkmap" --symbols "$out" "$work/second.nm" "$work/lines.txt" "$work/frames.txt" "$symbols"
fi
if [ -f "$work/calibrate.bin" ]; then
  "$mkmap" --calibrate "$out" "$work/second.nm" "$work/final.bin"
  cmp -s "$work/calibrate.bin" "$work/final.bin" ||
    { echo "link-with-map: the second link changed the calibration of $out" >&2; exit 1; }
fi
"$mkmap" --checksum "$out"
