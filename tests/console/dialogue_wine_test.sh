#!/usr/bin/env bash
# End-to-end test of the Windows build under Wine: the .exe runs in C:\ECC of a fresh Wine
# prefix, with scripted answers, and its transcript (line ends as on Windows, CR LF) must
# equal the Linux build's transcript on the same dump, exit status included.
# Usage: dialogue_wine_test.sh PAGOLINTH_EXE LINUX_BIN_DIR
set -euo pipefail

exe=$(realpath "$1")
bin=$(realpath "$2")
source "$(dirname "$0")/../support/wine_prefix.sh"
wine=$WINE
work=$WINE_WORK
ecc=$ECC_DIR
mkdir -p "$work/linux"
cp "$exe" "$ecc/pagolinth.exe"

failures=0
passes=0

# run_case NAME INPUT [dump|folder|hard-link]: runs both builds on the same folder contents
# and input: no Dump.bin, a sample dump, a folder named Dump.bin, or a sample dump with
# Dump_New.bin as a second name of it.
run_case() {
  local name=$1 input=$2 dump=${3:-}
  rm -rf "$ecc/Dump.bin" "$ecc/Dump_New.bin" "$work/linux/Dump.bin" "$work/linux/Dump_New.bin"
  case "$dump" in
    dump | hard-link)
      "$bin/pagolinth-sample" "$work/linux/Dump.bin" 3
      cp "$work/linux/Dump.bin" "$ecc/Dump.bin"
      if [ "$dump" = hard-link ]; then
        ln "$ecc/Dump.bin" "$ecc/Dump_New.bin"
        ln "$work/linux/Dump.bin" "$work/linux/Dump_New.bin"
      fi
      ;;
    folder) mkdir "$ecc/Dump.bin" "$work/linux/Dump.bin" ;;
  esac
  local wine_status=0 linux_status=0
  (cd "$ecc" && printf '%b' "$input" | "$wine" pagolinth.exe >"$work/wine.out" 2>/dev/null) ||
    wine_status=$?
  (cd "$work/linux" && printf '%b' "$input" | "$bin/pagolinth" >"$work/linux.out" 2>/dev/null) ||
    linux_status=$?
  tr -d '\r' <"$work/wine.out" >"$work/wine.lf"
  if [ "$dump" = hard-link ]; then
    # The output's error ends in the shell's own "pause" prompt, which differs between the
    # two; everything up to the error line must still be the same.
    sed -i '/^Datei-Oeffnungsfehler$/q' "$work/wine.lf"
    sed -i '/^Datei-Oeffnungsfehler$/q' "$work/linux.out"
  fi
  local ok=1
  if [ -f "$work/linux/Dump.bin" ] && ! cmp -s "$work/linux/Dump.bin" "$ecc/Dump.bin"; then
    echo "FAIL $name: C:\\ECC\\Dump.bin was changed"
    ok=0
  fi
  if ! cmp -s "$work/wine.lf" "$work/linux.out"; then
    echo "FAIL $name: the Windows transcript differs from the Linux one:"
    diff <(od -c "$work/linux.out") <(od -c "$work/wine.lf") | head -20 || true
    ok=0
  fi
  if [ "$wine_status" != "$linux_status" ]; then
    echo "FAIL $name: exit status $wine_status under Wine, $linux_status on Linux"
    ok=0
  fi
  if [ -e "$work/linux/Dump_New.bin" ] && ! [ -e "$ecc/Dump_New.bin" ]; then
    echo "FAIL $name: C:\\ECC\\Dump_New.bin was not created"
    ok=0
  fi
  if [ "$ok" = 1 ]; then
    echo "ok   $name (status $wine_status, $(wc -c <"$work/wine.lf") bytes)"
    passes=$((passes + 1))
  else
    failures=$((failures + 1))
  fi
}

run_case "walk of 3 pages of 2048+64" '2048\n64\n64\n' dump
run_case "refused answers, then a walk" 'abc\n0\n2048\n1\n64\n2048\n99999999999\n64\n64\n' dump
run_case "no sectors below 512 bytes" '100\n10\n4\n' dump
run_case "missing Dump.bin" '2048\n64\n64\n'
run_case "input ends before the answers" '2048\n64\n' dump
run_case "page and spare too large, all three again" '2147483647\n1\n2048\n64\n64\n' dump
run_case "an answer with more than 40 leading zeros" '00000000000000000000000000000000000000000002048\n64\n64\n' dump
run_case "Dump.bin is a folder" '2048\n64\n64\n' folder
run_case "Dump_New.bin is a hard link to Dump.bin" '2048\n64\n64\n' hard-link

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
