#!/usr/bin/env bash
# What chkmend is for, in one command: sets up and builds the tool, makes a sample volume whose
# folders the disk checker cut loose into FOUND.000, recovers it and shows the rebuilt tree.
# The build goes to ${CHKMEND_BUILD_DIR:-build}, the sample and its recovery to <build>/demo.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${CHKMEND_BUILD_DIR:-build}
demo=$build/demo
export MTOOLS_SKIP_CHECK=1 TZ=UTC  # the volume's times are shown as they are stored

bold='' plain=''
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

step "Setting up (cmake, ninja, g++, dosfstools, mtools, python3 when missing)"
scripts/setup.sh --minimal

step "Building chkmend in $build/"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake -S . -B "$build" -G Ninja && cmake --build "$build" --target chkmend; } >"$log" 2>&1
then
  cat "$log"
  exit 1
fi
bin=$(cd "$build" && pwd)/chkmend
echo "built $bin"

step "Making a sample volume: two folders and two files cut loose, salvaged into FOUND.000"
rm -rf "$demo"
python3 tests/e2e/make_volume.py --fat 16 --profile demo --out "$demo"
image=$demo/volume.img
echo "The tree as it was on the stick ($demo/original):"
(cd "$demo/original" && find . -mindepth 1 | sort | sed 's|^\./|  |')
echo
echo "What the disk checker left at the root, and in FOUND.000 (mdir):"
mdir -i "$image" :: | sed -n '/^Directory/,$p'
mdir -i "$image" ::FOUND.000 | sed -n '/^Directory/,$p'

step "Recovering: CHKMEND_DRIVE_E=volume.img chkmend E"
before=$(sha256sum "$image" | cut -d' ' -f1)
mkdir -p "$demo/run"
(cd "$demo/run" && CHKMEND_DRIVE_E=../volume.img "$bin" E)
after=$(sha256sum "$image" | cut -d' ' -f1)

step "The rebuilt tree in $demo/run/out (mode, size, write time, path)"
(cd "$demo/run" && find out -mindepth 1 -printf '%M %9s  %TY-%Tm-%Td %TH:%TM  %p\n' |
  sort -k5)

step "Checks"
if [ "$before" = "$after" ]; then
  echo "the volume is unchanged (sha256 ${before:0:16}...)"
else
  echo "the volume CHANGED" && exit 1
fi
python3 tests/e2e/check_recovery.py "$demo" --chkmend "$bin" |
  sed 's/^FAT16: /compared with the original tree (names, bytes, times, read-only): /'
echo
echo "Try it on a real stick after a disk check: CHKMEND_DRIVE_E=/dev/sdX1 $build/chkmend E"
