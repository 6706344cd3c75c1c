# Shell helpers for running Windows programs under Wine, sourced by the test
# scripts. Every prefix is a throwaway 32-bit one under the build folder,
# copied from one template a run; nothing here touches ~/.wine.
#
#   wine_root DIR          where the template and the per-test prefixes live
#   wine_new_prefix NAME   a fresh copy of the template; sets WINEPREFIX
#   wine_set_version VER   winxp, win98, win31, ... for the current prefix
#   wine_start_display     a private Xvfb server; sets DISPLAY
#   wine_cleanup           ends the prefix's processes and the Xvfb server
#
# The caller should `trap wine_cleanup EXIT`.

export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

_wine_root=
_wine_xvfb_pid=

wine_root() {
    _wine_root=$1
    mkdir -p "$_wine_root"
}

# Making a prefix takes seconds, so it happens once, under a lock that the
# parallel tests of one run share.
_wine_template() {
    local template=$_wine_root/template
    (
        flock 9
        [ -f "$template/.ready" ] && exit 0
        rm -rf "$template"
        WINEPREFIX=$template wineboot -i >/dev/null 2>&1
        # With no window manager on the test display, Wine's own window
        # management keeps a WM_CLOSE from taking seconds.
        WINEPREFIX=$template wine reg add 'HKCU\Software\Wine\X11 Driver' \
            /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        # Debian's Wine does not load the fonts it ships in its data folder;
        # without Marlett it draws the title bar's buttons as letters.
        if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
            cp /usr/share/wine/fonts/marlett.ttf "$template/drive_c/windows/Fonts/"
        fi
        WINEPREFIX=$template wineserver -w
        touch "$template/.ready"
    ) 9>"$_wine_root/template.lock"
}

wine_new_prefix() {
    _wine_template
    export WINEPREFIX=$_wine_root/prefixes/$1
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    cp -a "$_wine_root/template" "$WINEPREFIX"
}

wine_set_version() {
    wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d "$1" /f >/dev/null 2>&1
    wineserver -w
}

wine_start_display() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    _wine_xvfb_pid=$!
    local display
    read -r display <"$fifo"
    rm -f "$fifo"
    export DISPLAY=:$display
}

wine_cleanup() {
    if [ -n "${WINEPREFIX:-}" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    if [ -n "$_wine_xvfb_pid" ]; then
        kill "$_wine_xvfb_pid" 2>/dev/null || true
        wait "$_wine_xvfb_pid" 2>/dev/null || true
        _wine_xvfb_pid=
    fi
}
