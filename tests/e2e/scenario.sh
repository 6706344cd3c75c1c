#!/usr/bin/env bash
# One end-to-end scenario: the real clearwick.exe in a fresh Wine prefix with
# the demo product installed, answered with real mouse clicks or key presses.
#
#   scenario.sh NAME TOOL STANDIN PROBE [LAUNCHER]
#
# NAME is a row of the table below; the rest are the built programs
# (harness.sh). Run from the build folder, as CTest does: prefixes go under
# ./wine, logs, snapshots and screenshots under ./e2e/NAME.
set -euo pipefail

name=$1
export E2E_TOOL=$2 E2E_STANDIN=$3 E2E_PROBE=$4
if [ $# -ge 5 ]; then export E2E_LAUNCHER=$5; fi
. "$(dirname "$0")/harness.sh"

fail() {
    e2e_log "FAIL: $*"
    exit 1
}

# The two scripts, byte for byte: each line ends in CR LF, nothing after.
write_nt_script() {
    printf '%s\r\n' '@echo off' 'cd C:\Program Files\Larkvane' 'del /q glintfold.exe' \
        'del /q clearwick.exe' 'del /q kelp_note.txt' 'cd C:\Program Files' \
        'rmdir /q Larkvane' 'cd C:\' >"$1"
}
write_9x_script() {
    printf '%s\r\n' '@echo off' 'cd C:\progra~1\larkvane\' 'del glintfold.exe' \
        'del clearwick.exe' 'del kelp_note.txt' >"$1"
}

# What the removal must change and nothing more: the autorun value, the
# product's files (and, for NT, its folder) under DIR, and the new script.
expect_removal() {
    local variant=$1 dir=$2
    {
        grep -F "file $dir/" "$E2E_WORK/before.txt" | sed 's/^/- /'
        if [ "$variant" = nt ]; then grep -F "dir  $dir mode=" "$E2E_WORK/before.txt" | sed 's/^/- /'; fi
        _expect_script "$variant"
    } >"$E2E_WORK/expected-changes.txt"
    _expect_changes_and_autorun "the removal"
}

# C:\clearwick.bat is the VARIANT script byte for byte; prints its record.
_expect_script() {
    local script=$E2E_WORK/expected-script.bat
    "write_${1}_script" "$script"
    cmp "$script" "$WINEPREFIX/drive_c/clearwick.bat" >&2 ||
        fail "C:\\clearwick.bat is not the $1 script byte for byte"
    printf '+ file drive_c/clearwick.bat %s %s\n' "$(stat -c %s "$script")" \
        "$(sha1sum "$script" | cut -d' ' -f1)"
}

# The autorun value went, and nothing else changed.
s_autorun_gone() {
    [ ! -e "$WINEPREFIX/drive_c/clearwick.bat" ] || fail "C:\\clearwick.bat was written"
    : >"$E2E_WORK/expected-changes.txt"
    _expect_changes_and_autorun "deleting the autorun value alone"
}

# The prefix changed by the records in expected-changes.txt and the product's
# autorun value gone, and by nothing else. Wine's console host records its
# settings under HKCU\Console when the script's console first opens: Wine's
# doing, not the tool's.
_expect_changes_and_autorun() {
    local what=$1
    snapshot "$E2E_WORK/after.txt"
    local autorun="reg  system.reg [$(product_run_key)] \"Glintfold\"="
    [ "$(grep -cF "$autorun" "$E2E_WORK/before.txt")" = 1 ] ||
        fail "the prefix had no product autorun value to delete: no $autorun"
    grep -F "$autorun" "$E2E_WORK/before.txt" | sed 's/^/- /' >>"$E2E_WORK/expected-changes.txt"
    sort -o "$E2E_WORK/expected-changes.txt" "$E2E_WORK/expected-changes.txt"
    # The script's own security is the platform test's to check.
    snapshot_diff "$E2E_WORK/before.txt" "$E2E_WORK/after.txt" |
        grep -v '^+ reg  user.reg \[Console\]' |
        sed -E 's/^(\+ file drive_c\/clearwick\.bat [0-9]+ [0-9a-f]+) mode=.*/\1/' |
        sort >"$E2E_WORK/changes.txt" || true
    if ! cmp -s "$E2E_WORK/expected-changes.txt" "$E2E_WORK/changes.txt"; then
        diff -u "$E2E_WORK/expected-changes.txt" "$E2E_WORK/changes.txt" >&2 || true
        fail "the prefix changed otherwise than $what should change it (-expected +actual above)"
    fi
}

s_unchanged() {
    snapshot "$E2E_WORK/after.txt"
    if ! snapshot_diff "$E2E_WORK/before.txt" "$E2E_WORK/after.txt" >"$E2E_WORK/changes.txt"; then
        cat "$E2E_WORK/changes.txt" >&2
        fail "the prefix changed"
    fi
}

# The tool ended by itself, with status 0 (or, with "failed", another).
s_ended() {
    wait_exit "$E2E_TOOL_PID" 15 || fail "clearwick.exe is still running"
    if [ "${1:-}" = failed ]; then
        [ "$E2E_STATUS" != 0 ] || fail "clearwick.exe ended with status 0"
        e2e_log "clearwick.exe ended with status $E2E_STATUS"
    else
        [ "$E2E_STATUS" = 0 ] || fail "clearwick.exe ended with status $E2E_STATUS"
    fi
}

# The product got WM_CLOSE exactly once, and so ended.
s_closed() {
    wait_exit "$E2E_PRODUCT_PID" 15 ||
        fail "the product is still running; it received WM_CLOSE $(product_closes) times"
    local closes
    closes=$(product_closes)
    [ "$closes" = 1 ] || fail "the product received WM_CLOSE $closes times, not once"
}

# The product was left alone; it is then ended, so that the prefix compares.
s_untouched() {
    [ "$(product_closes)" = 0 ] || fail "the product received WM_CLOSE"
    _e2e_ended "$E2E_PRODUCT_PID" && fail "the product has ended"
    kill "$E2E_PRODUCT_PID"
    wait_exit "$E2E_PRODUCT_PID" 15 || fail "the product did not end when killed"
}

# The prefix's ANSI code page (1252, or Korean's 949).
expect_code_page() {
    local acp
    acp=$(_e2e_wine "$E2E_PROBE" acp | awk -F'\t' '$1 == "acp" { print $2 }')
    [ "$acp" = "$1" ] || fail "the prefix's ANSI code page is $acp, not $1"
}

# The window's three texts read back (GetWindowTextW) as the Korean ones.
s_texts() {
    probe_window Clearwick >"$E2E_WORK/window.txt"
    local row id expected actual
    for row in '100 시작 페이지 변경 프로그램을 삭제하시겠습니까?' '101 확인' '102 취소'; do
        id=${row%% *} expected=${row#* }
        actual=$(awk -F'\t' -v id="$id" '$1 == "control" && $2 == id { print $9 }' "$E2E_WORK/window.txt")
        [ "$actual" = "$expected" ] || fail "control $id reads \"$actual\", not \"$expected\""
    done
}

# The tool's own process loaded neither SHELL32 nor SHLWAPI in its whole
# life (the trace step, and the tool ended).
s_no_shell_dlls() {
    local image modules shell
    image=$(basename "$E2E_TOOL")
    loaded_modules "$image" >"$E2E_WORK/tool-modules.txt"
    modules=$(tr '\n' ' ' <"$E2E_WORK/tool-modules.txt")
    [ -n "$modules" ] || fail "the Wine log has no loaddll lines of $image"
    e2e_log "$image loaded: $modules"
    shell=$(grep -Ex 'shell32\.dll|shlwapi\.dll' "$E2E_WORK/tool-modules.txt" | tr '\n' ' ') || true
    [ -z "$shell" ] || fail "$image loaded $shell"
}

# The control with the focus is ID; key presses are handled a little later.
s_focus() {
    wait_until 5 _focus_is "$1" ||
        fail "control $(focused_control Clearwick) has the focus, not $1"
}

_focus_is() { [ "$(focused_control Clearwick)" = "$1" ]; }

# The tool's lookups were answered as on 9x (win9x_standin.cpp), and the W
# calls it then made failed.
expect_9x_lookups() {
    local log=$E2E_WORK/win9x.log line
    for line in 'GetProcAddress(user32.dll, CreateDialogIndirectParamW): a stub' \
        'GetProcAddress(user32.dll, CreateWindowExW): a stub' \
        'GetProcAddress(GDI32.dll, CreateFontIndirectW): a stub' \
        'GetProcAddress(GDI32.dll, GetGlyphIndicesW): absent' \
        'GetProcAddress(user32.dll, GetDpiForWindow): absent' \
        'GetProcAddress(user32.dll, AdjustWindowRectExForDpi): absent' \
        'GetProcAddress(kernel32.dll, SetDefaultDllDirectories): absent' \
        'GetProcAddress(kernel32.dll, SetDllDirectoryA): absent' \
        'CreateDialogIndirectParamW: fails' 'CreateWindowExW: fails' 'CreateFontIndirectW: fails'; do
        grep -qiF "$line" "$log" || fail "the launcher's log has no \"$line\""
    done
    grep '^GetProcAddress(' "$log" | while read -r line; do e2e_log "$line"; done
}

# Every font the tool made with CreateFontIndirectA is one that the system
# lists under Hangul's charset, so it draws Hangul, not boxes.
expect_hangul_fonts() {
    local listed given
    listed=$(_e2e_wine "$E2E_PROBE" fonts | awk -F'\t' '$1 == "font" { print $2 }')
    given=$(sed -n 's/^CreateFontIndirectA: .*the mapper gives "\(.*\)"$/\1/p' "$E2E_WORK/win9x.log")
    [ -n "$given" ] || fail "the tool made no font with CreateFontIndirectA"
    grep '^CreateFontIndirectA: ' "$E2E_WORK/win9x.log" | while read -r line; do e2e_log "$line"; done
    while read -r face; do
        grep -qxF "$face" <<<"$listed" || fail "the font mapper gave \"$face\", not listed under Hangul's charset"
    done <<<"$given"
}

# The message box TITLE's text is TEXT exactly, or holds it with "part".
expect_box_text() {
    local title=$1
    wait_until 15 _box_reads "$@" ||
        fail "no message box \"$title\" reads \"$2\" (shows: $(control_text "$title" 65535 box))"
    e2e_log "message box: $(control_text "$title" 65535 box)"
}
_box_reads() {
    local actual
    actual=$(control_text "$1" 65535 box) || return 1
    if [ -n "${3:-}" ]; then [[ $actual == *"$2"* ]]; else [ "$actual" = "$2" ]; fi
}

# The script, which runs on after the tool, is done when the files are gone.
wait_files_gone() {
    local dir=$1 f
    for f in "${E2E_PRODUCT_FILES[@]}"; do
        wait_until 20 test ! -e "$dir/$f" || fail "$dir/$f is still there"
    done
}

# --- The scenarios ---------------------------------------------------------

# A row: name; the Windows version and architecture (win64: WoW64); the
# locale, whose code page is checked first (en_US 1252, ko_KR 949, "-" as
# is); what is installed before the snapshot "before" (nt: the product in
# C:\Program Files\Larkvane; 9x: also C:\progra~1\larkvane; "-": nothing);
# then the steps, each STEP[:ARG[,ARG...]], a function s_STEP below. 101 is
# OK, 102 Cancel. The real9x_* rows answer the tool's lookups as 9x does
# (win9x_launcher.cpp): the W calls fail, so the window is made with the A
# calls from code page 949 bytes; in a 1252 prefix the texts cannot read
# back as Korean, and the log shows what they read. Tab and Shift+Tab move
# the focus and never make a default button: Enter then does nothing.
scenarios() {
    cat <<'EOF'
harness                  winxp  win32 -     nt product harness
nt_ok                    winxp  win32 -     nt trace product tool click:101 ended closed removed no_shell_dlls
9x_ok                    win98  win32 en_US 9x product tool texts click:101 ended closed removed
win95_ok                 win95  win32 en_US 9x product tool texts click:101 ended closed removed
winme_ok                 winme  win32 en_US 9x product tool texts click:101 ended closed removed
win32s_ok                win31  win32 -     nt product tool click:101 ended closed removed
nt40_ok                  nt40   win32 -     nt product tool click:101 ended closed removed
win2k_ok                 win2k  win32 -     nt product tool click:101 ended closed removed
win7_ok                  win7   win32 -     nt product tool click:101 ended closed removed
win10_ok                 win10  win32 -     nt product tool click:101 ended closed removed
win10_wow64_ok           win10  win64 -     nt trace product tool click:101 ended closed removed kept64 no_shell_dlls
cancel                   winxp  win32 -     nt product tool click:102 ended untouched unchanged
close_box                winxp  win32 -     nt product tool closebox ended untouched unchanged
space_ok                 winxp  win32 -     nt product tool keys:space ended closed removed
dpi_space_ok             win10  win32 -     nt product tool dpi:144 focus:101 keys:space ended closed removed
escape                   winxp  win32 -     nt product tool keys:Escape,Return ignored click:102 ended untouched unchanged
no_product               winxp  win32 -     nt tool click:101 ended removed
decoys                   winxp  win32 -     nt decoys product tool:elsewhere click:101 ended closed removed decoys_kept
from_larkvane            winxp  win32 -     -  round
from_larkvane_busy       winxp  win32 -     -  round:busy round:busy round:busy
from_larkvane_twice      winxp  win32 -     nt product twice
korean                   winxp  win32 en_US nt tool texts screenshot click:102 ended unchanged
real9x_korean            win98  win32 ko_KR 9x product tool9x lookups texts screenshot click:101 ended closed removed
real9x_western           win98  win32 en_US 9x product tool9x lookups label screenshot click:101 ended closed removed
real9x_no_version        win98  win32 -     9x product tool9x:--fail-version click:101 version_box click:1,box error_box click:1,box ended:failed closed autorun_gone
real9x_no_window         win98  win32 -     9x product tool9x:--fail-window window_box click:1,box ended:failed untouched unchanged
no_interpreter           winxp  win32 -     nt no_cmd product tool click:101 start_box click:1,box ended:failed closed script_only
tab_space_cancel         winxp  win32 -     nt product tool focus:101 keys:Tab focus:102 keys:shift+Tab,Return focus:101 keys:Tab focus:102 keys:space ended untouched unchanged
minimise_restore         winxp  win32 -     nt product tool keys:Tab focus:102 minimise:taskbar focus:102 keys:space ended untouched unchanged
minimise_restore_buttons winxp  win32 -     nt product tool keys:Tab focus:102 minimise:buttons focus:102 keys:space ended untouched unchanged
EOF
}

run_scenario() {
    local windows=$1 arch=$2 locale=$3 step function arguments
    install=$4
    shift 4
    case $locale in
        en_US) export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 ;;
        ko_KR) export LANG=ko_KR.UTF-8 LC_ALL=ko_KR.UTF-8 ;;
    esac
    e2e_begin "$name" "$windows" "$arch"
    # Before the snapshot: the first session in a locale also rewrites the
    # locale's registry values (Control Panel\International, the fonts).
    case $locale in
        en_US) expect_code_page 1252 ;;
        ko_KR) expect_code_page 949 ;;
    esac
    case $install in
        nt) demo_install ;;
        9x) demo_install --short ;;
    esac
    [ "$install" = - ] || snapshot "$E2E_WORK/before.txt"
    for step; do
        function=s_${step%%:*} arguments=
        [[ $step != *:* ]] || arguments=${step#*:}
        declare -F "$function" >/dev/null || fail "no step ${step%%:*}"
        IFS=, read -ra arguments <<<"$arguments"
        "$function" "${arguments[@]}"
    done
}

# Where the product is, as the removal must find it.
product_dir() { if [ "$install" = 9x ]; then echo drive_c/progra~1/larkvane; else echo "$E2E_LARKVANE"; fi; }

# --- The steps -------------------------------------------------------------

s_trace() { E2E_TOOL_TRACE=+pid,+loaddll; }
s_product() { start_product; }
s_tool() {
    if [ "${1:-}" = elsewhere ]; then start_tool "$E2E_WORK/elsewhere"; else start_tool; fi
}
s_tool9x() { start_tool_9x "$@"; }
s_click() { click_control Clearwick "$@"; }
s_closebox() { click_close_box Clearwick; }
s_keys() { press_keys Clearwick "$@"; }
s_label() { e2e_log "the label reads \"$(control_text Clearwick 100)\""; }

# Once the script is done, the prefix changed as the removal should.
s_removed() {
    local dir
    dir=$(product_dir)
    wait_files_gone "$WINEPREFIX/$dir"
    if [ "$install" = nt ]; then
        wait_until 20 test ! -e "$WINEPREFIX/$dir" || fail "C:\\Program Files\\Larkvane is still there"
    fi
    expect_removal "$install" "$dir"
}

# The 32-bit tool on 64-bit Windows deletes the value in the registry's
# 32-bit view and leaves the 64-bit view's, another program's.
s_kept64() {
    grep -qF 'reg  system.reg [Software\\Microsoft\\Windows\\CurrentVersion\\Run] "Glintfold"=' \
        "$E2E_WORK/after.txt" || fail "the 64-bit view's \"Glintfold\" is gone"
}

# Neither Escape nor Enter does anything: the window gets a second to act.
s_ignored() {
    wine_wait 1
    _e2e_ended "$E2E_TOOL_PID" && fail "Escape or Enter ended the tool"
    _e2e_mapped Clearwick || fail "Escape or Enter closed the window"
    [ ! -e "$WINEPREFIX/drive_c/clearwick.bat" ] || fail "Escape or Enter wrote the script"
    [ "$(product_closes)" = 0 ] || fail "Escape or Enter closed the product"
}

# Started from a folder on Z: that holds files with the product's names and
# an empty Larkvane folder: the removal must not touch them.
s_decoys() {
    local elsewhere=$E2E_WORK/elsewhere f
    mkdir -p "$elsewhere/Larkvane"
    for f in "${E2E_PRODUCT_FILES[@]}"; do printf 'decoy %s\r\n' "$f" >"$elsewhere/$f"; done
    (cd "$elsewhere" && sha1sum "${E2E_PRODUCT_FILES[@]}") >"$E2E_WORK/decoys.sha1"
}
s_decoys_kept() {
    (cd "$E2E_WORK/elsewhere" && sha1sum --quiet -c "$E2E_WORK/decoys.sha1") >&2 || fail "a decoy changed"
    [ -d "$E2E_WORK/elsewhere/Larkvane" ] || fail "the decoy Larkvane folder is gone"
}

# The window as a picture for a person to look at.
s_screenshot() {
    screenshot "$E2E_WORK/clearwick-window.png" Clearwick
    [ -s "$E2E_WORK/clearwick-window.png" ] || fail "no screenshot"
    e2e_log "screenshot: $E2E_WORK/clearwick-window.png"
}

s_lookups() {
    expect_9x_lookups
    expect_hangul_fonts
}

s_version_box() {
    expect_box_text Clearwick "Error Getting Version Information"
    [ "$(product_closes)" = 0 ] || fail "the product was closed before the version box was dismissed"
}
s_error_box() { expect_box_text Clearwick "could not find out which version" part; }
# Windows 10 lays the window out again when it moves to a monitor of
# another scale; the window at that DPI is saved as a picture.
s_dpi() {
    change_dpi Clearwick "$1" >"$E2E_WORK/dpi.txt" || fail "the window did not take $1 dpi: $(cat "$E2E_WORK/dpi.txt")"
    grep -qx "client $(( (5700 * $1 + 720) / 1440 ))x$(( (1785 * $1 + 720) / 1440 ))" "$E2E_WORK/dpi.txt" ||
        fail "the window is not laid out at $1 dpi: $(cat "$E2E_WORK/dpi.txt")"
    screenshot "$E2E_WORK/clearwick-window-${1}dpi.png" Clearwick
}

# No command interpreter to run the script (as where a policy blocks it):
# the report that the script could not be started stands alone, since the
# window is gone before the start, and names the path and the error.
s_no_cmd() { rm "$WINEPREFIX/drive_c/windows/system32/cmd.exe"; }
s_start_box() {
    expect_box_text Clearwick 'could not start the script that removes Glintfold'"'"'s files:\r\nc:\clearwick.bat' part
    ! probe_window Clearwick >/dev/null || fail "the tool's window is still there beside the report"
}
# The product closed, its autorun value gone, the script written, never run.
s_script_only() {
    {
        grep -F "file drive_c/windows/system32/cmd.exe " "$E2E_WORK/before.txt" | sed 's/^/- /'
        _expect_script nt
    } >"$E2E_WORK/expected-changes.txt"
    _expect_changes_and_autorun "writing the script alone"
}
s_window_box() { expect_box_text Clearwick "Clearwick could not open its window. Nothing was changed." part; }

# Minimised with its own button while Cancel has the focus, and restored, the
# window gives the focus back to Cancel. Windows activates another window when
# one is minimised, Wine with no window manager does not: with "taskbar" the
# user clicks the product's window, and ours is restored as a task bar does;
# with "buttons", by its minimised title bar's restore button, never inactive.
s_minimise() {
    click_min_box Clearwick
    wait_until 5 iconic Clearwick || fail "the window was not minimised"
    if [ "$1" = taskbar ]; then
        click_client Glintfold
        restore_window Clearwick
    else
        click_min_box Clearwick
    fi
    wait_until 5 eval '! iconic Clearwick' || fail "the window was not restored"
}

# One removal as shipped: C:\Program Files\Larkvane\clearwick.exe started in
# its own folder. Wine, like Windows, deletes no running process's image and
# removes no process's current folder, so the script finds everything only if
# the tool has ended before its deletes. With "busy", under a global hook that
# spends half a second destroying the tool's window (as a slow accessibility
# tool can), and a burner for each CPU from the answer until the script has
# run: the script, which does not wait for the tool, then finds everything only
# if nothing of the tool runs once it has started (idle, the tool's last
# milliseconds would hide that).
s_round() {
    rounds=$((${rounds:-0} + 1))
    e2e_log "round $rounds"
    rm -f "$WINEPREFIX/drive_c/clearwick.bat"
    demo_install
    snapshot "$E2E_WORK/before.txt"
    start_product
    if [ -n "${1:-}" ]; then slow_destroy_hook; fi
    start_tool "$WINEPREFIX/$E2E_LARKVANE" "$WINEPREFIX/$E2E_LARKVANE/clearwick.exe"
    if [ "${1:-}" = busy ]; then busy_machine "$(nproc)"; fi
    click_control Clearwick 101
    s_ended
    s_closed
    expect_all_gone
}

# Two windows from the product's folder, as a user who started the tool
# twice has. OK in the first removes what it can: the second tool still
# runs from clearwick.exe, which stays, and so does the folder. OK in the
# second, once the first script has finished, removes the rest, with the
# slow hook of from_larkvane_busy in place.
s_twice() {
    slow_destroy_hook
    local dir=$WINEPREFIX/$E2E_LARKVANE first second
    start_tool "$dir" "$dir/clearwick.exe"
    first=$E2E_TOOL_PID
    start_tool "$dir" "$dir/clearwick.exe"
    second=$E2E_TOOL_PID
    wait_until 30 eval '[ "$(mapped_windows Clearwick)" = 2 ]' || fail "the second window did not appear"
    click_control Clearwick 101
    wait_until 15 eval '_e2e_ended $first || _e2e_ended $second' || fail "neither tool ended on OK"
    E2E_TOOL_PID=$first
    _e2e_ended "$first" || { E2E_TOOL_PID=$second; second=$first; }
    s_ended
    s_closed
    wait_until 20 test ! -e "$dir/kelp_note.txt" || fail "the first script did not run"
    wait_until 20 eval '! script_running' || fail "the first script is still running"
    [ -e "$dir/clearwick.exe" ] || fail "the first script deleted the running tool's exe"
    E2E_TOOL_PID=$second
    click_control Clearwick 101
    s_ended
    expect_all_gone
}

# Once the script's console has gone, so must the files and the folder.
expect_all_gone() {
    wine_quiet || fail "Wine programs still running a minute after the answer"
    busy_machine 0
    if [ -e "$WINEPREFIX/$E2E_LARKVANE" ]; then
        e2e_log "left in C:\\Program Files\\Larkvane: $(ls -A "$WINEPREFIX/$E2E_LARKVANE" | tr '\n' ' ')"
    else
        e2e_log "nothing left: the three files and C:\\Program Files\\Larkvane are gone"
    fi
    expect_removal nt "$E2E_LARKVANE"
}

# The harness itself: the stand-in records a real click on its close box
# once, and a prefix in which programs merely ran compares equal. Then each
# change of the table below alone, and the snapshot must see it: every
# record that changed is the row's, and a new one holds what the row set.
s_harness() {
    _e2e_wine "$E2E_PROBE" acp >/dev/null
    click_close_box Glintfold
    s_closed
    snapshot "$E2E_WORK/after.txt"
    snapshot_diff "$E2E_WORK/before.txt" "$E2E_WORK/after.txt" >&2 ||
        fail "running programs changed the snapshot"

    local note=$E2E_LARKVANE/kelp_note.txt what record seen change last=after
    local sd=$E2E_WORK/sd.bin
    printf 'not a descriptor' >"$sd"
    while IFS='|' read -r what record seen change; do
        (cd "$WINEPREFIX" && eval "$change")
        snapshot "$E2E_WORK/changed.txt"
        snapshot_diff "$E2E_WORK/$last.txt" "$E2E_WORK/changed.txt" >"$E2E_WORK/changes.txt" &&
            fail "the snapshot missed $what"
        grep -vqF -e "- $record" -e "+ $record" "$E2E_WORK/changes.txt" &&
            { cat "$E2E_WORK/changes.txt" >&2; fail "$what changed other records"; }
        grep -F "$record" "$E2E_WORK/changes.txt" | grep -F -- "$seen" >/dev/null ||
            { cat "$E2E_WORK/changes.txt" >&2; fail "the snapshot missed $what: no \"$seen\""; }
        mv "$E2E_WORK/changed.txt" "$E2E_WORK/$what.txt"
        last=$what
    done <<EOF
content|file $note 45 |+ file $note 45 |printf 'Kelp note: Glintfold keeps your start page!\r\n' >"$note"
DOS attribute|file $note |dos=0x|_e2e_wine attrib +h 'C:\Program Files\Larkvane\kelp_note.txt'
mode|file $note |mode=0600|chmod 600 "$note"
security|file $note |sd=$(sha1sum <"$sd" | cut -d' ' -f1)|python3 -c 'import os, sys; os.setxattr(sys.argv[1], "user.wine.sd", open(sys.argv[2], "rb").read())' "$note" "$sd"
folder gone|dir  drive_c/users/Public/Music |- dir|rmdir drive_c/users/Public/Music
registry value|reg  user.reg [Software\\\\Kelp] "Probe"="x"|+ reg|_e2e_wine reg add 'HKCU\Software\Kelp' /v Probe /t REG_SZ /d x /f >/dev/null
EOF
}

row=$(scenarios | awk -v name="$name" '$1 == name')
if [ -z "$row" ]; then
    echo "unknown scenario: $name" >&2
    exit 2
fi
# shellcheck disable=SC2086
run_scenario ${row#"$name"}
e2e_log "passed"
