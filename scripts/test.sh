#!/usr/bin/env bash
# Sets everything up, then runs the whole test suite three times: the
# normal build, the AddressSanitizer + UndefinedBehaviorSanitizer build, and
# the ThreadSanitizer build for the tests labelled "threaded"; then every
# fuzz target for 20 s and, at the same time, the playback soak for one
# minute (an hour by hand: build/bin/zan_soak --seconds 3600).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh --all

jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"

status=0
echo "== layers: no include runs back up the folder order"
python3 scripts/check-layers.py || status=1
echo "== tests: normal build"
ctest --test-dir build -j "$jobs" --output-on-failure || status=1
echo "== tests: address and undefined-behaviour sanitizers"
ctest --test-dir build-asan -j "$jobs" --output-on-failure || status=1
echo "== tests: thread sanitizer (threaded tests)"
ctest --test-dir build-tsan -j "$jobs" -L threaded --output-on-failure || status=1
# The fuzz targets and the soak both run for a set time, not a set amount of
# work: they run side by side, the soak's report printed after the fuzzers'.
scripts/setup.sh --fuzz
soak_log=$(mktemp)
ZAN_APPDATA="$PWD/build/test-appdata" ZAN_REGISTRY_ROOT="$PWD/build/test-registry" \
  ZAN_TEST_MEDIA="$PWD/build/test-media" build/bin/zan_soak --seconds 60 > "$soak_log" 2>&1 &
soak=$!
echo "== fuzz: every target for 20 s"
scripts/fuzz.sh 20 || status=1
echo "== soak: five inputs playing over loopback HTTP with faults, one minute"
wait $soak || status=1
grep '^soak:' "$soak_log" || status=1
rm -f "$soak_log"
exit $status
