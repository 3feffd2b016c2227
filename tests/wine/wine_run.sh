#!/usr/bin/env bash
# Runs a Windows program under Wine with a drive letter mapped to a volume image, so that
# "\\.\E:" opens the image raw. Used by the Wine suite, and as CHKMEND_RUNNER for
# tests/e2e/check_recovery.py.
#   wine_run.sh PROGRAM.exe ARG...   (WINEPREFIX set; image in CHKMEND_E2E_IMAGE)
# CHKMEND_E2E_FILE_SIZE_LIMIT=N limits the files the program writes to N bytes.
# CHKMEND_WINE_RETRY_LOG=FILE: where a run that Wine never started is noted (see below).
set -euo pipefail
program=$1
shift
letter=$(printf '%s' "${CHKMEND_E2E_DRIVE:-E}" | cut -c1 | tr '[:upper:]' '[:lower:]')
ln -sfn "$(realpath "$CHKMEND_E2E_IMAGE")" "$WINEPREFIX/dosdevices/$letter::"
wine=$(command -v wine64 || command -v wine)
limit=${CHKMEND_E2E_FILE_SIZE_LIMIT:-}
launch=("$wine")
if [ -n "$limit" ]; then
  # A server, or a service, started by the limited program would inherit the limit and fail to
  # save the prefix's registry: make sure they run without it first (running ones are kept),
  # with no hold on this run's output.
  wineserver -p </dev/null >/dev/null 2>&1 || true
  "$wine" wineboot </dev/null >/dev/null 2>&1 || true
  trap '' XFSZ  # a write past the limit fails; the signal would end the program instead
  launch=(prlimit --fsize="$limit:$limit" -- "$wine")
fi

# The program prints its first line before it does anything else. A run that printed nothing
# at all was never started by Wine (seen once in CI, exit status 1 and not a byte on either
# stream); it is noted where the suite reports it and run again, at most twice more.
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2 3; do
  status=0
  "${launch[@]}" "$program" "$@" >"$out" 2>"$err" || status=$?
  if [ -s "$out" ] || [ "$attempt" = 3 ]; then
    break
  fi
  if [ -n "${CHKMEND_WINE_RETRY_LOG:-}" ]; then
    printf '%s %s: Wine printed nothing (status %s, %s bytes on standard error); run again\n' \
      "$(basename "$program")" "$*" "$status" "$(wc -c <"$err")" >>"$CHKMEND_WINE_RETRY_LOG"
  fi
  sleep 1
done
cat "$out"
cat "$err" >&2
exit "$status"
