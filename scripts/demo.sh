#!/usr/bin/env bash
# The demo: builds clearwick.exe, installs the demo product (Glintfold) in a
# fresh 32-bit Wine prefix under build/, starts it, then starts Clearwick as
# shipped, from C:\Program Files\Larkvane, and shows what the answer changed.
#
#   scripts/demo.sh [--xvfb]
#
# You answer on your display; with --xvfb, with no usable $DISPLAY, or in the
# emulated machine of scripts/win32-run.sh (where the rest runs on a host that
# cannot run 32-bit Windows programs), the demo saves a screenshot of the
# window on a private Xvfb display and answers OK itself with a real mouse
# click. Nothing touches ~/.wine; on this host the prefix stays in
# build/win32/wine/prefixes/demo for a look afterwards, an overlay of the
# tests' template that is unmounted when the demo ends (it says how to mount
# it again).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

headless=0 built=0
for arg; do
    case $arg in
        --xvfb) headless=1 ;;
        --built) built=1 ;;  # the build is done: the rest, from win32-run.sh
        *) echo "usage: scripts/demo.sh [--xvfb]" >&2; exit 2 ;;
    esac
done
if [ "$headless" = 0 ] && ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
    headless=1
fi

out=$repo/build/demo
mkdir -p "$out"
log=$out/demo.log
say() { printf '%s\n' "$*"; }
step() { printf '%-58s' "$*"; }
failed() { say "failed; the log is $log"; tail -n 20 "$log" >&2; exit 1; }

# --- Build -------------------------------------------------------------------
if [ "$built" = 0 ]; then
    : >"$log"
    step "Installing what the build needs..."
    scripts/install-deps.sh >>"$log" 2>&1 || failed
    say "ok"
    step "Building clearwick.exe (win32 preset)..."
    { cmake --preset win32 && cmake --build --preset win32 -j2 \
        --target clearwick glintfold_standin window_probe; } >>"$log" 2>&1 || failed
    say "ok, $(stat -c %s build/win32/clearwick.exe) bytes"
    if [ "$headless" = 1 ]; then set -- --xvfb; else set --; fi
    exec scripts/win32-run.sh scripts/demo.sh --built "$@"
fi

# --- The demo prefix -----------------------------------------------------------
. tests/e2e/harness.sh
E2E_NAME=demo
E2E_WORK=$out
E2E_CLOSE_LOG=$out/product-closes.txt
wine_root "${CLEARWICK_WINE_DIR:-$repo/build/win32/wine}"

trap 'kill "${_e2e_pids[@]}" 2>/dev/null || true; wine_cleanup' EXIT

if [ "$headless" = 1 ]; then
    wine_start_display
    where="a private Xvfb display ($DISPLAY)"
else
    where="your display ($DISPLAY)"
fi

step "Making a 32-bit Wine prefix (Windows XP)..."
wine_new_prefix demo >>"$log" 2>&1 || failed
if [ "$headless" = 0 ]; then
    # The tests' prefixes leave windows to Wine, since Xvfb has no window
    # manager; on a desktop, let its window manager frame them.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d Y /f >>"$log" 2>&1
fi
say "ok"
step "Installing Glintfold in C:\\Program Files\\Larkvane..."
demo_install >>"$log" 2>&1 || failed
snapshot "$out/before.txt"
say "ok"
step "Starting Glintfold..."
start_product || failed
say "ok, its window is up"

larkvane=$WINEPREFIX/$E2E_LARKVANE
step "Starting C:\\Program Files\\Larkvane\\clearwick.exe..."
start_tool "$larkvane" "$larkvane/clearwick.exe" || failed
say "ok, on $where"

if [ "$headless" = 1 ]; then
    screenshot "$out/clearwick-window.png" Clearwick
    step "The window, before the answer:"
    say "build/demo/clearwick-window.png"
    say "Answering OK (확인) with a real mouse click..."
    click_control Clearwick 101
else
    say ""
    say "Clearwick asks: 시작 페이지 변경 프로그램을 삭제하시겠습니까?"
    say "(Do you want to delete the start page changing program?)"
    say "Answer in its window: 확인 is OK, 취소 is Cancel."
fi

wait_exit "$E2E_TOOL_PID" 100000 || true
say "Clearwick has ended (exit status $E2E_STATUS)."
closes=$(product_closes)
if [ "$closes" = 0 ] && ! _e2e_ended "$E2E_PRODUCT_PID"; then
    # Wine writes the registry out only once every program has ended.
    say "Glintfold is still running; the demo ends it now to compare the prefix."
    kill "$E2E_PRODUCT_PID" 2>/dev/null || true
    wait_exit "$E2E_PRODUCT_PID" 15 || true
fi
# The removal script runs on by itself; the prefix is quiet once it is done.
snapshot "$out/after.txt"
snapshot_diff "$out/before.txt" "$out/after.txt" >"$out/changes.txt" || true

# --- What changed ----------------------------------------------------------------
say ""
say "What changed:"
if [ "$closes" -gt 0 ]; then
    say "  Glintfold  its window got WM_CLOSE ($closes time$([ "$closes" = 1 ] || echo s)); it ended"
else
    say "  Glintfold  its window was left alone"
fi

# Each change as a user would name it: HKLM/HKCU keys, C: paths.
sed -E -e '/^\+ reg  user\.reg \[Console\]/d' \
    -e 's/^-/  deleted/; s/^\+/  added  /' \
    -e 's/ reg  system\.reg \[/ HKLM\\/; s/ reg  user\.reg \[/ HKCU\\/; s/\] /  /' \
    -e 's/ (file|dir ) drive_c/ C:/; s/ (mode|dos|sd)=[^ ]*//g; s/ ([0-9]+) [0-9a-f]{40}$/ (\1 bytes)/' \
    -e '/^  [a-z ]{7} C:/ y|/|\\|' -e 's/\\\\/\\/g' "$out/changes.txt"
[ -s "$out/changes.txt" ] || say "  nothing else"

script=$WINEPREFIX/drive_c/clearwick.bat
if [ -f "$script" ]; then
    say "  C:\\clearwick.bat, as written ($(wc -l <"$script") lines, $(grep -c $'\r$' "$script") ending in CR LF):"
    tr -d '\r' <"$script" | sed 's/^/             /'
fi
if [ -f "$script" ] && [ -d "$larkvane" ]; then
    say "  Left in C:\\Program Files\\Larkvane: $(ls -A "$larkvane" | tr '\n' ' ')"
fi
say ""
if [ -n "${CLEARWICK_IN_GUEST:-}" ]; then
    say "The prefix was on the emulated machine's RAM disk, and is gone with it."
else
    say "The prefix stays in ${WINEPREFIX#"$repo"/} (WINEPREFIX=$WINEPREFIX wine ... to look around)."
    if wine_prefix_layers >/dev/null; then
        say "It is an overlay of the tests' template, unmounted when the demo ends; to mount it again:"
        say "  $(wine_mount_command)"
    fi
fi
