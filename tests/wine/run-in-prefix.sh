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
# Should this script stall past every limit below, it says what each process
# waits on before CTest's time-out ends it unheard. ps reads no process's
# memory, which a stuck process can hold locked; the sleep lets go of the
# output, which CTest waits to see closed.
( sleep "$(wine_scaled 160)" >/dev/null 2>&1
  echo "run-in-prefix: still running after $(wine_scaled 160) s:" >&2
  ps --pid 2 --ppid 2 -N -o pid,ppid,stat,wchan:32,etime,comm >&2 ) &
watchdog=$!
trap 'kill "$watchdog" 2>/dev/null; wine_cleanup; wine_remove_prefix' EXIT
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
