#!/usr/bin/env bash
# Speed and memory of pagolinth-ecc check on a large dump: makes a dump of random data
# (1 GiB by default) with `encode`, a copy with 1 to 8 bit errors in every sector with
# `inject`, and times `check` on each beside `cat DUMP > /dev/null` in the same run.
# Reports both times, their ratio and check's peak memory.
# Usage: ecc_check.sh BIN_DIR [SIZE_MIB]
set -euo pipefail

bin=$(realpath "$1")
size_mib=${2:-1024}
work=$(mktemp -d "${TMPDIR:-/tmp}/pagolinth-ecc-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Whole pages of 2,112 bytes.
pages=$(( size_mib * 1024 * 1024 / 2112 ))
head -c $(( pages * 2112 )) /dev/urandom > raw.bin
"$bin/pagolinth-ecc" encode raw.bin -o clean.bin > /dev/null
rm raw.bin
"$bin/pagolinth-ecc" inject clean.bin -o noisy.bin --flips 1-8 --seed 1 > /dev/null

measure() {  # measure NAME DUMP
  local name=$1 dump=$2
  cat "$dump" > /dev/null  # into the page cache, as check will find it
  local t0 t1 t2
  t0=$(now)
  cat "$dump" > /dev/null
  t1=$(now)
  /usr/bin/time -f '%M' -o peak "$bin/pagolinth-ecc" check "$dump" > summary || true
  t2=$(now)
  local read_s check_s
  read_s=$(seconds "$t0" "$t1")
  check_s=$(seconds "$t1" "$t2")
  awk -v n="$name" -v r="$read_s" -v c="$check_s" -v kib="$(tail -n 1 peak)" \
      -v mib="$size_mib" 'BEGIN {
        printf "%-28s cat %7.3f s   check %7.3f s (%6.0f MB/s)   ratio %5.1f   peak %5.1f MiB\n",
               n, r, c, mib * 1048576 / c / 1e6, c / r, kib / 1024 }'
}

echo "pagolinth-ecc check on $size_mib MiB ($pages pages of 2112 bytes, $((pages * 4)) sectors), $(nproc) cores"
measure "clean dump" clean.bin
measure "dump with 1-8 errors/sector" noisy.bin
