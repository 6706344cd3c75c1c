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
# Should this script itself stall, its own limits all passed, a watchdog says
# what each process waits on before CTest's time-out ends the test unheard.
# It holds none of the output, which CTest waits to see closed, until then;
# ps reads no process's memory, which a stuck process can hold locked.
( exec >/dev/null 2>&1
  sleep "$(wine_scaled 160)"
  { echo "run-in-prefix: still running after $(wine_scaled 160) s:"
    ps --pid 2 --ppid 2 -N -o pid,ppid,stat,wchan:32,etime,comm; } >"/proc/$$/fd/2" ) &
watchdog=$!
trap 'wine_cleanup; wine_remove_prefix; wine_release_output; kill "$watchdog" 2>/dev/null' EXIT
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
