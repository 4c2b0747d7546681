#!/usr/bin/env bash
# Peak memory of the dialogue walking a large dump: a sparse dump of 256 MiB (or the size
# given), answers 2048/64/64, standard input ending after them so every key wait returns at
# once. Prints the peak resident set size and fails above the limit (32 MiB).
# Usage: dialogue_memory.sh BIN_DIR [SIZE_MIB]
set -euo pipefail

bin=$(realpath "$1")
size_mib=${2:-256}
limit_kib=$((32 * 1024))

work=$(mktemp -d "${TMPDIR:-/tmp}/pagolinth-memory-XXXXXX")
trap 'rm -rf "$work"' EXIT
truncate -s "${size_mib}M" "$work/Dump.bin"

cd "$work"
start=$(date +%s.%N)
printf '2048\n64\n64\n' | /usr/bin/time -f '%M' -o "$work/peak" "$bin/pagolinth" >/dev/null
end=$(date +%s.%N)
peak_kib=$(tail -n 1 "$work/peak")
sectors=$(( size_mib * 1024 * 1024 / 2112 * 4 ))
awk -v mib="$size_mib" -v sectors="$sectors" -v kib="$peak_kib" -v t0="$start" -v t1="$end" \
  -v limit="$((limit_kib / 1024))" 'BEGIN {
    printf "dialogue walk of a %d MiB dump (%d sectors): peak RSS %d KiB (%.1f MiB) in %.1f s; limit %d MiB\n",
           mib, sectors, kib, kib / 1024, t1 - t0, limit }'
[ "$peak_kib" -lt "$limit_kib" ]
