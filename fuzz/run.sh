#!/usr/bin/env bash
# Runs each fuzz target for a while on a scratch copy of its committed seeds (so that the
# committed corpora never grow) and fails when any target finds a fault, naming the input it
# saved. Usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]   (default 60 seconds)
set -uo pipefail
build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]}
# Absolute: the dialogue's target works in a folder of its own.
build=$(cd "$build" && pwd) || exit 2
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
targets=(decoder dialogue bch_args layout frame merge)

failed=()
for target in "${targets[@]}"; do
  corpus=$build/fuzz/corpus/$target
  findings=$build/fuzz/findings/$target
  log=$build/fuzz/logs/$target.log
  mkdir -p "$corpus" "$findings" "$(dirname "$log")"
  # -n keeps what earlier runs in this build folder found.
  cp -n "$root/fuzz/corpus/$target/"* "$corpus/"
  extra=()
  # The dialogue's dump must span a few pages of sectors to walk anything.
  [ "$target" = dialogue ] && extra=(-max_len=20000)
  stamp=$(mktemp)
  echo "fuzz_$target: ${seconds}s, log in $log"
  # -timeout flags an input that runs for half a minute: every input here takes milliseconds.
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 "${extra[@]}" "$corpus" >"$log" 2>&1
  status=$?
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "fuzz_$target FOUND A FAULT (status $status). Last lines of the log:"
    grep -v '^#[0-9]' "$log" | tail -n 25
    found=$(find "$findings" -type f -newer "$stamp")
    echo "Input saved as: ${found:-(none; see the log)}"
    echo "Reproduce: $build/bin/fuzz_$target ${found:-INPUT}"
  else
    grep -E '^stat::number_of_executed_units|^Done' "$log" | tail -n 1
  fi
  rm -f "$stamp"
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets ran ${seconds}s each without a finding"
