#!/usr/bin/env bash
# Builds the libFuzzer target with clang (AddressSanitizer, UndefinedBehaviorSanitizer, leak
# detection), generates the seed volumes and fuzzes whole volume images for a bounded time.
# Fails on any crash, hang, leak or runaway memory; the failing input is kept under
# build-fuzz/artifacts/ (turn it into a regression test before fixing). CHKMEND_FUZZ_SECONDS
# sets the time (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${CHKMEND_FUZZ_SECONDS:-60}"
build="$PWD/build-fuzz"  # absolute: the target works in a scratch folder of its own

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCHKMEND_FUZZ=ON -DCHKMEND_SANITIZE=ON \
  -DCHKMEND_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target chkmend_fuzz chkmend_fuzz_seeds

rm -rf "$build/seeds"
"$build/tests/fuzz/chkmend_fuzz_seeds" "$build/seeds"
mkdir -p "$build/corpus" "$build/artifacts"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
# -timeout: one input that takes this long is a hang. -rss_limit_mb: memory must stay bounded by
# the input (the table and a few MiB of buffers), far below this.
"$build/tests/fuzz/chkmend_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
  -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$build/corpus" "$build/seeds"
echo "fuzzing: no crash, hang or leak in ${seconds}s"
