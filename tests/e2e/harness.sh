# Drives the real clearwick.exe in a throwaway Wine prefix with real input
# (XTEST clicks and keys through xdotool on a private Xvfb display). Sourced
# by tests/e2e/scenario.sh, scripts/demo.sh and the bench; sources
# tests/wine/wine-lib.sh unless it is loaded. Every wait is scaled by
# CLEARWICK_WAIT_FACTOR (wine-lib.sh's wine_scaled).
#
# Programs (the win32 preset's builds unless set): E2E_TOOL clearwick.exe,
# E2E_STANDIN the product's stand-in, E2E_PROBE window_probe.exe,
# E2E_LAUNCHER win9x_launcher.exe (win9x_standin.dll beside it).
#
#   e2e_begin NAME [WINVER [ARCH]]  $E2E_WORK=${E2E_OUT:-./e2e}/NAME, its own
#                       Xvfb, a fresh prefix of ARCH (win32, or win64 for
#                       WoW64) at WINVER; e2e_end runs on exit
#   e2e_end [STATUS]    ends what was started here, Wine and Xvfb; removes
#                       the prefix unless E2E_KEEP=1; exits with STATUS
#   demo_install [--short]  the product in C:\Program Files\Larkvane (with
#                       --short also in C:\progra~1\larkvane, as Wine makes
#                       no short names), its autorun value, and the values
#                       beside it that must survive
#   start_product, start_tool [DIR [EXE]], start_tool_9x [OPTION...]
#                       start it (from DIR) until its window is mapped; PID in
#                       E2E_PRODUCT_PID / E2E_TOOL_PID; E2E_TOOL_TRACE adds Wine
#                       debug channels for the tool; start_tool_9x runs it as 9x
#                       does (win9x_launcher), logging to $E2E_WORK/win9x.log
#   product_closes      how many WM_CLOSE the product received
#   loaded_modules EXE  the modules EXE's processes loaded (+pid,+loaddll)
#   wait_exit PID [S]   until it ends; its status in E2E_STATUS
#   script_running, busy_machine N|0, slow_destroy_hook, mapped_windows TITLE
#   probe_window TITLE [box]  window_probe's tab-separated records of the
#                       window (or message box) of that title
#   control_center / control_text TITLE ID [box], focused_control TITLE
#   click_control TITLE ID [box], click_client, click_close_box, click_min_box,
#   press_keys TITLE KEY...: real input, once the window takes input, never twice
#   iconic, restore_window, change_dpi TITLE DPI, screenshot FILE [TITLE]
#   snapshot FILE       once Wine is quiet, every entry under drive_c and every
#                       registry value (snapshot.py); fails if Wine is busy
#                       after $E2E_QUIET_SECONDS (60)
#   snapshot_diff A B   "- record" / "+ record"; fails if any
#   win_path PATH, e2e_log TEXT...

if ! declare -F wine_root >/dev/null; then
    . "$(dirname "${BASH_SOURCE[0]}")/../wine/wine-lib.sh"
fi
# Wine's menu builder would start the desktop with each session; here
# _e2e_desktop_up starts it before a session's first window. Without the
# menu builder a session starts some 2 s sooner in the emulated machine.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"

_e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
_e2e_repo=$(cd "$_e2e_here/../.." && pwd)
E2E_TOOL=${E2E_TOOL:-$_e2e_repo/build/win32/clearwick.exe}
E2E_STANDIN=${E2E_STANDIN:-$_e2e_repo/build/win32/glintfold_standin.exe}
E2E_PROBE=${E2E_PROBE:-$_e2e_repo/build/win32/window_probe.exe}
E2E_LAUNCHER=${E2E_LAUNCHER:-$_e2e_repo/build/win32/win9x_launcher.exe}

E2E_LARKVANE='drive_c/Program Files/Larkvane'
E2E_PRODUCT_FILES=(glintfold.exe clearwick.exe kelp_note.txt)

_e2e_pids=() _e2e_burners=()
_e2e_records=
E2E_NAME=${E2E_NAME:-}
E2E_WORK=${E2E_WORK:-}
E2E_CLOSE_LOG=${E2E_CLOSE_LOG:-}
E2E_STATUS=
E2E_TOOL_PID=
E2E_PRODUCT_PID=

e2e_log() { printf '[%s] %s\n' "${E2E_NAME:-e2e}" "$*" >&2; }

win_path() {
    local p
    p=$(realpath -m "$1")
    printf 'Z:%s' "${p//\//\\}"
}

e2e_begin() {
    E2E_NAME=$1
    local winver=${2:-}
    E2E_WORK=${E2E_OUT:-$PWD/e2e}/$E2E_NAME
    rm -rf "$E2E_WORK"
    mkdir -p "$E2E_WORK"
    E2E_CLOSE_LOG=$E2E_WORK/product-closes.txt
    wine_root "${CLEARWICK_WINE_DIR:-$PWD/wine}"
    trap 'e2e_end $?' EXIT
    wine_start_display
    if ! wait_until 10 xdpyinfo >/dev/null 2>&1; then
        e2e_log "the Xvfb display ${DISPLAY:-(none)} does not answer"
        return 1
    fi
    wine_new_prefix "e2e-$E2E_NAME" "${3:-win32}"
    [ -z "$winver" ] || wine_set_version "$winver"
}

e2e_end() {
    local status=${1:-0} pid
    trap - EXIT
    busy_machine 0
    for pid in "${_e2e_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wine_cleanup
    for pid in "${_e2e_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    _e2e_pids=()
    # A failing run keeps its logs and snapshots, and keeps the prefix only
    # when asked to: unmounted, its changes in its upper layer.
    if [ -n "${WINEPREFIX:-}" ]; then
        if [ "${E2E_KEEP:-0}" = 1 ]; then
            e2e_log "prefix kept: $WINEPREFIX"
            [ ! -f "$WINEPREFIX.layer/lower" ] || e2e_log "to look at it: $(wine_mount_command)"
        else
            wine_remove_prefix
            [ "$status" -eq 0 ] || e2e_log "logs and snapshots in $E2E_WORK (E2E_KEEP=1 keeps the prefix too)"
        fi
    fi
    wine_release_output
    exit "$status"
}

# Where Wine's own messages go: the test's log, or nowhere. The product and
# the tool log Wine's errors there, with the time, to explain a failure.
_e2e_wine_log() { if [ -n "$E2E_WORK" ]; then echo "$E2E_WORK/wine.log"; else echo /dev/null; fi; }
_e2e_debug=${E2E_WINEDEBUG:--all,err+all,+timestamp}

# Runs a Windows program to its end; its output is ours.
_e2e_wine() { wine "$@" 2>>"$(_e2e_wine_log)"; }

# Until the window TITLE is mapped, or the process PID has ended first.
_e2e_wait_started() {
    wait_until 30 _e2e_mapped_or_ended "$1" "$2" && _e2e_mapped "$1"
}
_e2e_mapped_or_ended() { _e2e_mapped "$1" || _e2e_ended "$2"; }

# Says why a program we started has no window.
_e2e_no_window() {
    local what=$1 pid=$2
    if _e2e_ended "$pid"; then
        local status=0
        wait "$pid" || status=$?
        e2e_log "$what ended, with status $status, before its window appeared; Wine said:"
        tail -n 20 "$(_e2e_wine_log)" >&2
    else
        e2e_log "$what is running but its window did not appear; mapped windows:" \
            "$(xdotool search --onlyvisible --name . getwindowname %@ 2>/dev/null | tr '\n' '|')"
    fi
    return 1
}

# --- The product -------------------------------------------------------------

demo_install() {
    _e2e_put_product "$WINEPREFIX/$E2E_LARKVANE"
    if [ "${1:-}" = --short ]; then
        # Wine makes no PROGRA~1 short names, so the 9x script's short path
        # needs a real folder by that name.
        _e2e_put_product "$WINEPREFIX/drive_c/progra~1/larkvane"
    fi
    # As the product's 32-bit installer writes them: in a 64-bit prefix the
    # HKLM values go to the 32-bit view, and another program's "Glintfold"
    # to the 64-bit one.
    wine_quiet || return 1
    local run='Software\\Microsoft\\Windows\\CurrentVersion\\Run' exe='C:\Program Files\Larkvane\glintfold.exe'
    wine_hive_add system.reg "$(product_run_key)" "GlintfoldUpdate=$exe /update" "Glintfold=$exe" \
        'KelpSync=C:\Program Files\KelpSync\kelpsync.exe /background'
    wine_hive_add user.reg "$run" "Glintfold=$exe"
    if _e2e_prefix_64bit; then
        wine_hive_add system.reg "$run" 'Glintfold=C:\Program Files\Glintfold64\glintfold64.exe'
    fi
}

_e2e_prefix_64bit() { [ -d "$WINEPREFIX/drive_c/windows/syswow64" ]; }

product_run_key() {
    if _e2e_prefix_64bit; then
        printf '%s' 'Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Run'
    else
        printf '%s' 'Software\\Microsoft\\Windows\\CurrentVersion\\Run'
    fi
}

_e2e_put_product() {
    mkdir -p "$1"
    cp "$E2E_STANDIN" "$1/glintfold.exe"
    cp "$E2E_TOOL" "$1/clearwick.exe"
    printf 'Kelp note: Glintfold keeps your start page.\r\n' >"$1/kelp_note.txt"
}

# The first window program of a Wine session starts Wine's desktop process
# and waits for it, a few seconds at most; on a busy machine that start can
# fail, and with it the program's first window. Bring the desktop up first,
# so that a program under test meets a session that is ready.
_e2e_desktop_up() {
    local attempt
    # A window on the test's display: a program of the session has brought
    # the desktop up already.
    ! xdotool search --onlyvisible --name . >/dev/null 2>&1 || return 0
    for attempt in 1 2 3; do
        _e2e_wine "$E2E_PROBE" desktop && return 0
        e2e_log "Wine's desktop did not come up (attempt $attempt)"
    done
    return 1
}

# The product is the scene, not what is tested: if its window could not be
# made (it then ends at once, as on a starved machine where the session's
# display driver was not ready), it is started once more.
start_product() {
    [ -n "$E2E_CLOSE_LOG" ] || E2E_CLOSE_LOG=${E2E_WORK:-$WINEPREFIX/..}/product-closes.txt
    local attempt
    for attempt in 1 2; do
        : >"$E2E_CLOSE_LOG"
        _e2e_start E2E_PRODUCT_PID Glintfold "$WINEPREFIX/$E2E_LARKVANE" "" \
            'C:\Program Files\Larkvane\glintfold.exe' "$(win_path "$E2E_CLOSE_LOG")" && return 0
        _e2e_ended "$E2E_PRODUCT_PID" || return 1
    done
    return 1
}

product_closes() {
    if [ -f "$E2E_CLOSE_LOG" ]; then grep -c WM_CLOSE "$E2E_CLOSE_LOG" || true; else echo 0; fi
}

# --- The tool ----------------------------------------------------------------

start_tool() {
    _e2e_start E2E_TOOL_PID Clearwick "${1:-$WINEPREFIX/drive_c}" "" "${2:-$E2E_TOOL}"
}

start_tool_9x() {
    local log=/dev/null
    [ -z "$E2E_WORK" ] || log=$E2E_WORK/win9x.log
    _e2e_start E2E_TOOL_PID Clearwick "$WINEPREFIX/drive_c" "$log" "$E2E_LAUNCHER" "$@" "$(win_path "$E2E_TOOL")"
}

# _e2e_start VARIABLE TITLE DIR OUTPUT PROGRAM [ARGUMENT...]: PROGRAM in DIR,
# its PID in VARIABLE, until its window TITLE is mapped; OUTPUT a file for
# its standard output, or empty to leave it ours. The tool's Wine debug
# channels are those of E2E_TOOL_TRACE too.
_e2e_start() {
    local variable=$1 title=$2 dir=$3 output=$4 debug=$_e2e_debug
    shift 4
    [ "$title" != Clearwick ] || debug=$debug${E2E_TOOL_TRACE:+,$E2E_TOOL_TRACE}
    _e2e_desktop_up || return 1
    (
        cd "$dir" || exit
        [ -z "$output" ] || exec >>"$output"
        WINEDEBUG=$debug exec wine "$@" 2>>"$(_e2e_wine_log)"
    ) &
    printf -v "$variable" %s "$!"
    _e2e_pids+=("$!")
    _e2e_wait_started "$title" "$!" || _e2e_no_window "$(basename "${1//\\//}")" "$!"
}

# With +pid each line of Wine's log starts with the Windows process ID
# (after the time, with +timestamp), then the thread's. A process loads its
# image, an .exe, first; an ID that Wine hands out again later belongs to
# the process whose image it loads then.
loaded_modules() {
    awk -v image="$(printf '%s' "$1" | tr '[:upper:]' '[:lower:]')" '
        index($0, ":trace:loaddll:") && /Loaded L"/ {
            n = split(substr($0, 1, index($0, ":trace:loaddll:") - 1), field, ":")
            pid = field[n - 1]
            name = $0
            sub(/^[^"]*L"/, "", name)
            sub(/".*$/, "", name)
            sub(/^.*\\/, "", name)
            name = tolower(name)
            if (name ~ /\.exe$/) owner[pid] = name
            if (owner[pid] == image) print name
        }' "$(_e2e_wine_log)"
}

wait_exit() {
    local pid=$1 seconds=${2:-15}
    E2E_STATUS=
    wait_until "$seconds" _e2e_ended "$pid" || return 1
    E2E_STATUS=0
    wait "$pid" || E2E_STATUS=$?
}

# Bash reaps its children as they end, so a signal to the PID fails from
# then on.
_e2e_ended() { ! kill -0 "$1" 2>/dev/null; }

script_running() { [ -n "$(_wine_processes | grep -Ei '^[0-9]+ (\S*\\)?cmd(\.exe)? ')" ]; }

slow_destroy_hook() {
    local ready=$E2E_WORK/hook.txt
    : >"$ready"
    _e2e_wine "$E2E_PROBE" hook "$(win_path "$(dirname "$E2E_PROBE")/slow_destroy_hook.dll")" >"$ready" &
    _e2e_pids+=("$!")
    wait_until 30 grep -q hooked "$ready" || { e2e_log "the hook was not installed"; return 1; }
}

# N CPU-bound processes from now on, in place of any before; 0 ends them.
busy_machine() {
    local i
    if [ ${#_e2e_burners[@]} -gt 0 ]; then
        kill "${_e2e_burners[@]}" 2>/dev/null || true
        wait "${_e2e_burners[@]}" 2>/dev/null || true  # with no PID, wait would wait for every child
    fi
    _e2e_burners=()
    for ((i = 0; i < $1; i++)); do
        (while :; do :; done) &
        _e2e_burners+=("$!")
    done
}

# --- Windows on the screen ---------------------------------------------------

_e2e_mapped() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }
mapped_windows() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | wc -l; }

probe_window() { _e2e_wine "$E2E_PROBE" show "$@"; }

control_center() { probe_window "$1" ${3:+"$3"} | _e2e_center "$2"; }
_e2e_center() {
    awk -F'\t' -v id="$1" \
        '$1 == "control" && $2 == id { print int(($4 + $6) / 2), int(($5 + $7) / 2); found = 1 }
         END { exit !found }'
}

control_text() {
    probe_window "$1" ${3:+"$3"} | awk -F'\t' -v id="$2" '$1 == "control" && $2 == id { print $9 }'
}

focused_control() { probe_window "$1" | awk -F'\t' '$1 == "focus" { print $2 }'; }

iconic() {
    local style
    style=$(probe_window "$1" | awk -F'\t' '$1 == "window" { print $8 }')
    [ -n "$style" ] && (((style & 0x20000000) != 0)) # WS_MINIMIZE
}

restore_window() { _e2e_wine "$E2E_PROBE" restore "$1"; }
change_dpi() { _e2e_wine "$E2E_PROBE" dpi "$1" "$2"; }

# A click or key made before a window takes input can be lost, and one made
# twice can act twice: none goes to a window until the probe finds that it
# takes input (window_probe.cpp), and none is repeated. The probe's records
# are then in $_e2e_records.
_e2e_input() {
    wait_until 15 _e2e_takes_input "$@" || { e2e_log "window $1 does not take input"; return 1; }
}
_e2e_takes_input() { _e2e_records=$(probe_window "$@") && grep -qx $'input\t1' <<<"$_e2e_records"; }

# xdotool's --sync waits for the pointer to move, which it never does when
# it is already there (the same button clicked again): then it waits 15 s.
_e2e_click_at() {
    local at
    at=$(xdotool getmouselocation | sed -E 's/^x:([0-9]+) y:([0-9]+) .*/\1 \2/')
    # shellcheck disable=SC2086
    if [ "$at" = "$1" ]; then xdotool click 1; else xdotool mousemove --sync $1 click 1; fi
}

click_control() {
    _e2e_input "$1" ${3:+"$3"} || return 1
    local at
    at=$(_e2e_center "$2" <<<"$_e2e_records") || { e2e_log "no control $2 in window $1"; return 1; }
    _e2e_click_at "$at"
}

click_client() {
    _e2e_input "$1" || return 1
    _e2e_click_at "$(awk -F'\t' '$1 == "client" { print int(($2 + $4) / 2), int(($3 + $5) / 2) }' <<<"$_e2e_records")"
}

click_close_box() { _e2e_click_title_button "$1" closebox; }
click_min_box() { _e2e_click_title_button "$1" minbox; }

_e2e_click_title_button() {
    _e2e_input "$1" || return 1
    local at
    at=$(awk -F'\t' -v box="$2" '$1 == box { print $2, $3; found = 1 } END { exit !found }' <<<"$_e2e_records") ||
        { e2e_log "window $1 has no $2"; return 1; }
    _e2e_click_at "$at"
}

# Wine gives the X input focus to the window it activates; the keys go to
# whatever window has it, as a user's would, so check that it is ours.
press_keys() {
    local title=$1
    shift
    _e2e_input "$title" || return 1
    local ours
    ours=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n1)
    if ! wait_until 5 _e2e_focused "$ours"; then
        e2e_log "window $title does not have the keyboard focus"
        return 1
    fi
    xdotool key --delay "$(wine_scaled 50 | cut -d. -f1)" "$@"
}

_e2e_focused() { [ -n "$1" ] && [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }

# The screen, or where the window TITLE is on it.
screenshot() {
    local cut=()
    if [ -n "${2:-}" ]; then
        read -ra cut < <(probe_window "$2" |
            awk -F'\t' '$1 == "window" { print "-left", $4, "-top", $5, "-width", $6 - $4, "-height", $7 - $5 }') || true
    fi
    xwd -root -silent | xwdtopnm 2>/dev/null | pnmcut "${cut[@]}" | pnmtopng >"$1" 2>/dev/null
}

# --- The prefix's state ------------------------------------------------------

snapshot() {
    if ! wine_quiet "${E2E_QUIET_SECONDS:-60}"; then
        e2e_log "Wine programs still running after ${E2E_QUIET_SECONDS:-60} s; no snapshot"
        return 1
    fi
    local layers=()
    mapfile -t layers < <(wine_prefix_layers || true)
    "$_e2e_here/snapshot.py" take "$WINEPREFIX" "$1" --cache "$WINEPREFIX.hashes" \
        ${layers[0]:+--overlay "${layers[@]}"}
}

snapshot_diff() { "$_e2e_here/snapshot.py" diff "$1" "$2"; }
