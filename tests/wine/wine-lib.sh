# Shell helpers for running Windows programs under Wine, sourced by the test
# scripts. Every prefix is a throwaway one under the build folder, copied
# from one template a run for each architecture; nothing here touches ~/.wine.
# Prefixes are 32-bit unless asked otherwise.
#
#   wine_root DIR          where the templates and the per-test prefixes live
#   wine_new_prefix NAME [ARCH]
#                          a fresh copy of the template for ARCH (win32, the
#                          default, or win64: a 64-bit prefix in which
#                          32-bit programs run under WoW64); sets WINEPREFIX
#                          and WINEARCH
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

# The template for architecture ARCH. The 32-bit one keeps the name it has
# always had (bench/run.sh removes it by that name to get a new one).
_wine_template_dir() {
    if [ "$1" = win32 ]; then echo "$_wine_root/template"; else echo "$_wine_root/template-$1"; fi
}

# Making a prefix takes seconds, so it happens once for each architecture,
# under a lock that the parallel tests of one run share. A template that is
# ready (its stamp is written last) needs no lock: a 32-bit test need not
# wait while the 64-bit template is being made.
_wine_template() {
    local arch=$1 template
    template=$(_wine_template_dir "$arch")
    [ -f "$template/.ready" ] && return 0
    (
        flock 9
        [ -f "$template/.ready" ] && exit 0
        rm -rf "$template"
        export WINEARCH=$arch WINEPREFIX=$template
        wineboot -i >/dev/null 2>&1
        # With no window manager on the test display, Wine's own window
        # management keeps a WM_CLOSE from taking seconds.
        wine reg add 'HKCU\Software\Wine\X11 Driver' \
            /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
        # Debian's Wine does not load the fonts it ships in its data folder;
        # without Marlett it draws the title bar's buttons as letters.
        if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
            cp /usr/share/wine/fonts/marlett.ttf "$template/drive_c/windows/Fonts/"
        fi
        wineserver -w
        touch "$template/.ready"
    ) 9>"$_wine_root/template.lock"
}

# Wine refuses a prefix whose architecture is not WINEARCH, so that follows
# the prefix.
wine_new_prefix() {
    local arch=${2:-win32}
    _wine_template "$arch"
    export WINEARCH=$arch
    export WINEPREFIX=$_wine_root/prefixes/$1
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    cp -a "$(_wine_template_dir "$arch")" "$WINEPREFIX"
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
