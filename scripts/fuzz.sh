#!/usr/bin/env bash
# Runs every libFuzzer target for SECONDS (default 20) from its seed corpus,
# as many at once as there are cores (scripts/setup.sh --fuzz builds them in
# build-fuzz/). New inputs the fuzzer finds go to
# build-fuzz/fuzz-found/TARGET, crashing ones to
# build-fuzz/fuzz-crashes/. Exits non-zero when any target found a fault or
# stopped early.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

scripts/setup.sh --fuzz
out=build-fuzz
mkdir -p "$out/fuzz-crashes"
export ZAN_APPDATA="$PWD/$out/fuzz-appdata" ZAN_REGISTRY_ROOT="$PWD/$out/fuzz-registry"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# One target a core at a time: each still gets SECONDS of a core of its own,
# and five targets take about 5 * SECONDS / cores instead of 5 * SECONDS.
jobs=$(nproc 2>/dev/null || echo 2)
targets=(demux decoder history_buffer output http_headers)

# fuzz TARGET: runs it, leaves its exit code and seconds in fuzz-TARGET.result.
fuzz() {
  local target=$1 found="$out/fuzz-found/$1" start code=0
  mkdir -p "$found"
  start=$(date +%s)
  # -max_len covers the seeds cut from the test media; -timeout flags a hang.
  "$out/bin/fuzz_$target" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=2560 \
      -artifact_prefix="$out/fuzz-crashes/$target-" -print_final_stats=1 \
      "$found" "$out/fuzz-corpus/$target" > "$out/fuzz-$target.log" 2>&1 || code=$?
  echo "$code $(( $(date +%s) - start ))" > "$out/fuzz-$target.result"
}

for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "== fuzz: $target for ${seconds}s"
  fuzz "$target" &
done
wait

status=0
for target in "${targets[@]}"; do
  code=1 ran=0
  [ -f "$out/fuzz-$target.result" ] && read -r code ran < "$out/fuzz-$target.result"
  if [ "$code" -ne 0 ]; then
    echo "== fuzz: $target failed"
    tail -n 60 "$out/fuzz-$target.log"
    status=1
    continue
  fi
  echo -n "$target: "
  grep -E "^stat::number_of_executed_units|^#[0-9]+ +DONE" "$out/fuzz-$target.log" | tr '\n' ' '
  echo "(${ran}s)"
  if [ "$ran" -lt "$seconds" ]; then
    echo "fuzz: $target stopped after ${ran}s of ${seconds}s" >&2
    status=1
  fi
done
exit $status
