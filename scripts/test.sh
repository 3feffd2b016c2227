#!/usr/bin/env bash
# Sets up, builds and runs every test: unit and end-to-end tests on the Linux build, then the
# Windows build under Wine, the sanitizer build and a bounded fuzzing run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCHKMEND_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

for stage in test_windows test_sanitize test_fuzz; do
  if [ -x "scripts/$stage.sh" ]; then
    echo "== $stage"
    "scripts/$stage.sh"
  fi
done
echo "all test stages passed"
