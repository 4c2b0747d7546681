#!/usr/bin/env bash
# Speed and memory of pagolinth-ecc combine on the built-in layout (2048 + 64, m = 13, t = 8):
# makes a dump of random data (256 MiB by default) with `encode`, then three reads of it, and
# times `combine` of two and of three reads beside `cat` of the same reads to /dev/null in the
# same run, all from the page cache: on clean reads (what a good chip gives) and on reads with
# 1 to t bit errors in every step, each read its own. "pass" is combine writing its dump to
# standard output into /dev/null; "file" writes it to a file, synced to the disk, with the audit
# record, which hashes every read and lists every bit the output changed against read 1.
# Reports both times, their ratio and the peak memory.
# Usage: combine_speed.sh BIN_DIR [SIZE_MIB]
set -euo pipefail

bin=$(realpath "$1")
size_mib=${2:-256}
work=$(mktemp -d "${TMPDIR:-/tmp}/pagolinth-combine-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

measure() {  # measure NAME pass|file READ...
  local name=$1 mode=$2
  shift 2
  cat "$@" > /dev/null  # into the page cache, as combine will find them
  local best_read=999 best_combine=999 peak=0
  for _ in 1 2 3; do
    local t0 t1 t2
    t0=$(now)
    cat "$@" > /dev/null
    t1=$(now)
    if [ "$mode" = pass ]; then
      /usr/bin/time -f '%M' -o peak "$bin/pagolinth-ecc" combine "$@" -o - > /dev/null \
        2> summary || true
    else
      /usr/bin/time -f '%M' -o peak "$bin/pagolinth-ecc" combine "$@" -o out.bin --force \
        > summary || true
    fi
    t2=$(now)
    best_read=$(awk -v a="$best_read" -v b="$(seconds "$t0" "$t1")" 'BEGIN { print (b < a ? b : a) }')
    best_combine=$(awk -v a="$best_combine" -v b="$(seconds "$t1" "$t2")" 'BEGIN { print (b < a ? b : a) }')
    peak=$(awk -v a="$peak" -v b="$(tail -n 1 peak)" 'BEGIN { print (b > a ? b : a) }')
    rm -f out.bin out.bin.audit.json
  done
  awk -v n="$name, $mode" -v r="$best_read" -v c="$best_combine" -v kib="$peak" \
      -v bytes="$(stat -c %s "$1")" 'BEGIN {
        printf "%-44s cat %7.3f s   combine %7.3f s (%6.0f MB/s a read)   ratio %5.1f   peak %5.1f MiB\n",
               n, r, c, bytes / c / 1e6, c / r, kib / 1024 }'
}

pages=$(( size_mib * 1024 * 1024 / 2112 ))
head -c $(( pages * 2112 )) /dev/urandom > raw.bin
"$bin/pagolinth-ecc" encode raw.bin -o clean.bin --no-audit > /dev/null
rm raw.bin
cp clean.bin clean2.bin
cp clean.bin clean3.bin
for seed in 1 2 3; do
  "$bin/pagolinth-ecc" inject clean.bin -o "noisy$seed.bin" --flips 1-8 --seed "$seed" \
    --no-audit > /dev/null
done
echo "built-in layout 2048+64, m=13 t=8: $size_mib MiB a read, $pages pages, $(nproc) cores (best of 3)"
for mode in pass file; do
  measure "  2 clean reads" "$mode" clean.bin clean2.bin
  measure "  3 clean reads" "$mode" clean.bin clean2.bin clean3.bin
  measure "  2 reads, 1-8 errors in every step" "$mode" noisy1.bin noisy2.bin
  measure "  3 reads, 1-8 errors in every step" "$mode" noisy1.bin noisy2.bin noisy3.bin
done
