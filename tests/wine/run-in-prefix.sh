#!/usr/bin/env bash
# CTest's emulator for the Windows build: runs one Windows program, with its
# arguments, in a fresh 32-bit Wine prefix under a private Xvfb display.
#
# CLEARWICK_WINE_DIR   where prefixes go (default: ./wine, the build folder)
# CLEARWICK_WINVER     Windows version Wine reports (default: Wine's, winxp...)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-lib.sh"

program=$1
shift
wine_root "${CLEARWICK_WINE_DIR:-$PWD/wine}"
trap 'wine_cleanup; wine_remove_prefix; wine_release_output' EXIT
wine_start_display
wine_new_prefix "$(basename "$program" .exe)-${CLEARWICK_WINVER:-default}-$$"
if [ -n "${CLEARWICK_WINVER:-}" ]; then wine_set_version "$CLEARWICK_WINVER"; fi

# A Wine process may take a SIGTERM and not end (one stuck in its exit, say):
# the time-out then kills it.
status=0 limit=$(wine_scaled 60)
timeout -k "$(wine_scaled 10)" "$limit" wine "$program" "$@" || status=$?
if [ "$status" = 124 ] || [ "$status" = 137 ]; then
    echo "run-in-prefix: $(basename "$program") did not end in $limit s; the prefix runs:" >&2
    _wine_processes >&2
    exit 124
fi
wine_quiet
exit "$status"
