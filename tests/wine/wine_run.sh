#!/usr/bin/env bash
# Runs a Windows program under Wine with a drive letter mapped to a volume image, so that
# "\\.\E:" opens the image raw. Used as CHKMEND_RUNNER for tests/e2e/check_recovery.py.
#   wine_run.sh PROGRAM.exe ARG...   (WINEPREFIX set; image in CHKMEND_E2E_IMAGE)
set -euo pipefail
program=$1
shift
letter=$(printf '%s' "${CHKMEND_E2E_DRIVE:-E}" | cut -c1 | tr '[:upper:]' '[:lower:]')
ln -sfn "$(realpath "$CHKMEND_E2E_IMAGE")" "$WINEPREFIX/dosdevices/$letter::"
exec "$(command -v wine64 || command -v wine)" "$program" "$@"
