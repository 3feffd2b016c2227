#!/usr/bin/env bash
# Builds chkmend.exe with MinGW-w64 and runs it under Wine: the checks of the Win32 layer, then
# every end-to-end volume against the Linux build (same lines, same tree), the code page 437
# names and a tree deeper than MAX_PATH. Without Wine or MinGW it skips, except under CI=true.
set -euo pipefail
cd "$(dirname "$0")/.."

win_build=build-win
lin_build=build-lin
jobs=2

missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v x86_64-w64-mingw32-objdump >/dev/null || missing+=(binutils-mingw-w64-x86-64)
command -v wine64 >/dev/null || command -v wine >/dev/null || missing+=(wine64)
for tool in python3 mkfs.fat fsck.fat mcopy cmake ninja; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "test_windows: missing ${missing[*]} (scripts/setup.sh installs them)"
  if [ "${CI:-}" = "true" ]; then
    echo "test_windows: FAILED, the Windows build cannot be tested on this CI machine"
    exit 1
  fi
  echo "test_windows: SKIPPED, the Windows build was not tested"
  exit 0
fi

echo "-- building chkmend.exe (MinGW-w64)"
cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCHKMEND_WERROR=ON --no-warn-unused-cli >/dev/null
cmake --build "$win_build" -j"$jobs"
echo "-- building the Linux build to compare with"
cmake -S . -B "$lin_build" -G Ninja -DCHKMEND_WERROR=ON -DCHKMEND_TESTS=OFF >/dev/null
cmake --build "$lin_build" -j"$jobs"

# One standalone file: anything but the system's own DLLs would be missing on a bare Windows.
imports=$(x86_64-w64-mingw32-objdump -p "$win_build/chkmend.exe" | sed -n 's/^\s*DLL Name: //p')
echo "-- chkmend.exe imports: $(echo $imports)"
foreign=$(echo "$imports" | grep -viE '^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$' || true)
if [ -n "$foreign" ]; then
  echo "test_windows: FAILED, chkmend.exe needs DLLs that Windows does not ship: $foreign"
  exit 1
fi

# A throw-away prefix under the build folder; made once, it takes a while.
export WINEPREFIX="$PWD/$win_build/wineprefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine64 || command -v wine)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "-- creating the Wine prefix $WINEPREFIX"
  timeout 600 "$wine" wineboot -i >"$win_build/wineboot.log" 2>&1 || {
    echo "test_windows: FAILED, wineboot did not finish (see $win_build/wineboot.log)"
    exit 1
  }
fi
stop_wineserver() { WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true; }
trap stop_wineserver EXIT

echo "-- Wine end-to-end suite"
python3 tests/wine/wine_e2e.py --exe "$win_build/chkmend.exe" --linux-exe "$lin_build/chkmend" \
  --platform-test "$win_build/platform_win32_test.exe" --work "$win_build/wine-e2e" \
  --prefix "$WINEPREFIX"
