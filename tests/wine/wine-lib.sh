# Shell helpers for running Windows programs under Wine, sourced by the test
# scripts. Every prefix is a throwaway one under the build folder, made from
# one template a run for each architecture; nothing here touches ~/.wine.
# Prefixes are 32-bit unless asked otherwise.
#
#   wine_root DIR          where the templates and the per-test prefixes live
#   wine_new_prefix NAME [ARCH [BASE]]
#                          a fresh prefix DIR/prefixes/NAME made from the
#                          template for ARCH (win32, the default, or win64: a
#                          64-bit prefix in which 32-bit programs run under
#                          WoW64); sets WINEPREFIX and WINEARCH. It is an
#                          overlay mount: the template its read-only lower
#                          layer, NAME.layer/upper what the prefix changed.
#                          With BASE, the name of a prefix made before, it
#                          starts as that one is now: BASE is unmounted and
#                          its changes become a read-only layer of this one
#                          (so BASE must not change while prefixes made from
#                          it are in use). Where no overlay can be mounted
#                          (not root, say), it is a copy of the template (or
#                          of BASE), and the log says so
#   wine_prefix_layers     prints the current prefix's layers, one a line,
#                          the template first and its own upper folder last,
#                          when it is an overlay mount; fails otherwise
#   wine_remove_prefix     unmounts and removes the current prefix
#   wine_mount_command     prints the command that mounts the current prefix
#                          again once wine_cleanup has unmounted it, to look
#                          at a kept one
#   wine_set_version VER   winxp, win98, win31, ... for the current prefix
#   wine_start_display     a private Xvfb server; sets DISPLAY
#   wine_cleanup           ends the prefix's processes and the Xvfb server,
#                          and unmounts every prefix mounted here (their
#                          folders stay until wine_remove_prefix)
#   wine_scaled SECONDS    prints SECONDS times CLEARWICK_WAIT_FACTOR (1 unless
#                          set; a slower machine sets a larger one): every
#                          fixed wait and time-out of the tests is scaled so
#   wine_wait SECONDS      sleeps that long, scaled
#
# The caller should `trap wine_cleanup EXIT`.

export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

_wine_root=
_wine_xvfb_pid=
_wine_mounts=()
_wine_copy_said=

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
# the prefix. The overlay neither redirects renamed folders nor copies up
# metadata alone, so its upper layer holds every changed entry whole, as
# tests/e2e/snapshot.py reads it.
wine_new_prefix() {
    local arch=${2:-win32} base=${3:+$_wine_root/prefixes/$3} source lower layer
    _wine_template "$arch"
    source=${base:-$(_wine_template_dir "$arch")} lower=$source
    if [ -n "$base" ]; then
        _wine_unmount "$base"
        [ ! -f "$base.layer/lower" ] || lower=$base.layer/upper:$(cat "$base.layer/lower")
    fi
    export WINEARCH=$arch
    export WINEPREFIX=$_wine_root/prefixes/$1
    wine_remove_prefix
    layer=$WINEPREFIX.layer
    mkdir -p "$WINEPREFIX" "$layer/upper" "$layer/work"
    printf '%s\n' "$lower" >"$layer/lower"
    if [[ $_wine_root/$1/${3:-} != *[,:]* ]] &&
        mount -t overlay overlay -o "$(_wine_overlay_options)" "$WINEPREFIX" 2>/dev/null; then
        _wine_mounts+=("$WINEPREFIX")
        _wine_check_xattrs "$layer/upper"
    else
        [ -n "$_wine_copy_said" ] ||
            echo "wine-lib: no overlay mount here; each prefix is a copy of the template" >&2
        _wine_copy_said=1
        rm -rf "$WINEPREFIX" "$layer"
        cp -a "$source" "$WINEPREFIX"
    fi
}

# Wine keeps a file's DOS attributes and security in user.* extended
# attributes; tmpfs drops them before Linux 6.6.
_wine_check_xattrs() {
    python3 -c 'import os, sys
os.setxattr(sys.argv[1], "user.clearwick", b"1")
os.removexattr(sys.argv[1], "user.clearwick")' "$1" 2>/dev/null ||
        echo "wine-lib: $(stat -f -c %T "$1") under $1 keeps no user.* extended attributes:" \
            "Wine cannot keep DOS attributes or security there" >&2
}

wine_prefix_layers() {
    [ -f "$WINEPREFIX.layer/lower" ] && mountpoint -q "$WINEPREFIX" || return 1
    tr ':' '\n' <"$WINEPREFIX.layer/lower" | tac
    echo "$WINEPREFIX.layer/upper"
}

wine_mount_command() {
    printf "mount -t overlay overlay -o '%s' '%s'\n" "$(_wine_overlay_options)" "$WINEPREFIX"
}

_wine_overlay_options() {
    local layer=$WINEPREFIX.layer
    printf 'lowerdir=%s,upperdir=%s,workdir=%s,redirect_dir=off,metacopy=off' \
        "$(cat "$layer/lower")" "$layer/upper" "$layer/work"
}

# Only a prefix made here: never one that WINEPREFIX named before.
wine_remove_prefix() {
    [[ -n $_wine_root && ${WINEPREFIX:-} == "$_wine_root/prefixes/"* ]] || return 0
    _wine_unmount "$WINEPREFIX"
    rm -rf "$WINEPREFIX" "$WINEPREFIX.layer" "$WINEPREFIX.hashes"
}

# A Wine process that is still ending can hold the mount for a moment; then
# it is detached at once and goes when the last one ends.
_wine_unmount() {
    mountpoint -q "$1" || return 0
    for _ in 1 2 3 4 5; do
        umount "$1" 2>/dev/null && return 0
        sleep 0.2
    done
    umount -l "$1"
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
    local mount
    for mount in "${_wine_mounts[@]}"; do _wine_unmount "$mount" || true; done
    _wine_mounts=()
}

wine_wait() { sleep "$(wine_scaled "$1")"; }
wine_scaled() { awk -v s="$1" -v f="${CLEARWICK_WAIT_FACTOR:-1}" 'BEGIN { printf "%.3f\n", s * f }'; }
