#!/usr/bin/env bash
# Runs a Windows program under Wine with a drive letter mapped to a volume image, so that
# "\\.\E:" opens the image raw. Used as CHKMEND_RUNNER for tests/e2e/check_recovery.py.
#   wine_run.sh PROGRAM.exe ARG...   (WINEPREFIX set; image in CHKMEND_E2E_IMAGE)
# CHKMEND_E2E_FILE_SIZE_LIMIT=N limits the files the program writes to N bytes.
set -euo pipefail
program=$1
shift
letter=$(printf '%s' "${CHKMEND_E2E_DRIVE:-E}" | cut -c1 | tr '[:upper:]' '[:lower:]')
ln -sfn "$(realpath "$CHKMEND_E2E_IMAGE")" "$WINEPREFIX/dosdevices/$letter::"
wine=$(command -v wine64 || command -v wine)
limit=${CHKMEND_E2E_FILE_SIZE_LIMIT:-}
if [ -z "$limit" ]; then
  exec "$wine" "$program" "$@"
fi
# A server, or a service, started by the limited program would inherit the limit and fail to
# save the prefix's registry: make sure they run without it first (running ones are kept), with
# no hold on this run's output.
wineserver -p </dev/null >/dev/null 2>&1 || true
"$wine" wineboot </dev/null >/dev/null 2>&1 || true
trap '' XFSZ  # a write past the limit fails; the signal would end the program instead
exec prlimit --fsize="$limit:$limit" -- "$wine" "$program" "$@"
