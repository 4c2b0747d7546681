#!/usr/bin/env bash
# Speed and memory of pagolinth-ecc check on large dumps, for the built-in layout (2048 + 64,
# m = 13, t = 8) msb without a mask and lsb with the erased-ff mask, the example layout
# layouts/spare-end-4096-224.toml (m = 14, t = 24), and the layout in bits
# layouts/bits-protected-2048-64.toml (m = 13, t = 4) beside a layout in bytes of the same page,
# code and step sizes (9 protected bytes instead of 9.5):
# makes a dump of random data (1 GiB by default) with `encode`, a copy with 1 to t bit errors in
# every step and one with a worn chip's 0 to t/2 with `inject`, and times `check` on each beside
# `cat DUMP > /dev/null` in the same run, both from the page cache. Reports both times, their
# ratio and check's peak memory.
# Usage: ecc_check.sh BIN_DIR [SIZE_MIB]
set -euo pipefail

bin=$(realpath "$1")
size_mib=${2:-1024}
layouts=$(realpath "$(dirname "$0")/../layouts")
work=$(mktemp -d "${TMPDIR:-/tmp}/pagolinth-ecc-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

measure() {  # measure NAME DUMP LAYOUT_OPTIONS...
  local name=$1 dump=$2
  shift 2
  cat "$dump" > /dev/null  # into the page cache, as check will find it
  local best_read=999 best_check=999 peak=0
  for _ in 1 2 3 4 5; do
    local t0 t1 t2
    t0=$(now)
    cat "$dump" > /dev/null
    t1=$(now)
    /usr/bin/time -f '%M' -o peak "$bin/pagolinth-ecc" check "$dump" "$@" > summary || true
    t2=$(now)
    best_read=$(awk -v a="$best_read" -v b="$(seconds "$t0" "$t1")" 'BEGIN { print (b < a ? b : a) }')
    best_check=$(awk -v a="$best_check" -v b="$(seconds "$t1" "$t2")" 'BEGIN { print (b < a ? b : a) }')
    peak=$(awk -v a="$peak" -v b="$(tail -n 1 peak)" 'BEGIN { print (b > a ? b : a) }')
  done
  awk -v n="$name" -v r="$best_read" -v c="$best_check" -v kib="$peak" \
      -v bytes="$(stat -c %s "$dump")" 'BEGIN {
        printf "%-40s cat %7.3f s   check %7.3f s (%6.0f MB/s)   ratio %5.1f   peak %5.1f MiB\n",
               n, r, c, bytes / c / 1e6, c / r, kib / 1024 }'
}

run_layout() {  # run_layout LABEL PAGE_BYTES T LAYOUT_OPTIONS...
  local label=$1 page_bytes=$2 t=$3
  shift 3
  local pages=$(( size_mib * 1024 * 1024 / page_bytes ))
  head -c $(( pages * page_bytes )) /dev/urandom > raw.bin
  "$bin/pagolinth-ecc" encode raw.bin -o clean.bin "$@" > /dev/null
  rm raw.bin
  "$bin/pagolinth-ecc" inject clean.bin -o noisy.bin --flips "1-$t" --seed 1 "$@" > /dev/null
  echo "$label: $size_mib MiB, $pages pages of $page_bytes bytes, $(nproc) cores (best of 5)"
  measure "  clean dump" clean.bin "$@"
  measure "  1-$t errors in every step" noisy.bin "$@"
  # A worn chip's profile: errors in most steps, t/4 of them on average (0 ... t/2, evenly).
  "$bin/pagolinth-ecc" inject clean.bin -o worn.bin --flips "0-$(( t / 2 ))" --seed 2 "$@" > /dev/null
  measure "  worn: 0-$(( t / 2 )) errors a step, mean t/4" worn.bin "$@"
  rm -f clean.bin noisy.bin worn.bin ./*.audit.json
}

run_layout "built-in layout 2048+64, m=13 t=8" 2112 8
run_layout "built-in layout 2048+64, m=13 t=8, lsb, erased-ff" 2112 8 --bit-order lsb \
  --ecc-mask erased-ff
run_layout "spare-end-4096-224.toml, m=14 t=24" 4320 24 --layout "$layouts/spare-end-4096-224.toml"

cat > bytes-twin.toml <<'TOML'
[geometry]
page_size = 2048
spare_size = 64
block_pages = 64
[code]
m = 13
t = 4
[[steps]]
data = [[0, 512]]
protected = [[2048, 9]]
ecc = [2057, 7]
repeat = 4
data_stride = 512
protected_stride = 16
ecc_stride = 16
TOML
run_layout "2048+64 in bytes, 9 protected bytes, m=13 t=4" 2112 4 --layout bytes-twin.toml
run_layout "bits-protected-2048-64.toml, the same in bits" 2112 4 \
  --layout "$layouts/bits-protected-2048-64.toml"
