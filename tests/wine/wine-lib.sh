# Shell helpers for running Windows programs under Wine in throwaway
# prefixes, made from one template a run for each architecture (kept in
# CLEARWICK_WINE_TEMPLATES instead where that is set); ~/.wine is never
# touched. The caller should `trap wine_cleanup EXIT`.
#
#   wine_root DIR          where the templates and the prefixes live
#   wine_new_prefix NAME [ARCH [BASE]]
#                          WINEPREFIX=DIR/prefixes/NAME, fresh, for ARCH (win32,
#                          or win64: 32-bit programs under WoW64): the template
#                          (or BASE, a prefix made before, which must not change
#                          meanwhile) with NAME.layer/upper on top, an overlay;
#                          where none can be mounted (not root), a copy, said once
#   wine_prefix_layers     the overlay's layers, template first; fails if none
#   wine_remove_prefix     unmounts and removes the current prefix
#   wine_mount_command     the command that mounts a kept prefix again
#   wine_set_version VER   winxp, win98, win31, ... while no wineserver runs
#   wine_hive_add HIVE KEY NAME=DATA...
#                          REG_SZ (or dword:XXXXXXXX) values into KEY (its
#                          backslashes doubled) of a hive, while no wineserver runs
#   wine_quiet [SECONDS]   until only Wine's services run, then ends the wineserver,
#                          which saves the registry; fails after SECONDS (60)
#   wine_start_display     a private Xvfb server; sets DISPLAY
#   wine_cleanup           ends the prefix's processes and Xvfb, unmounts
#   wine_release_output    ends, and names, any other process still holding
#                          this script's output once it is done
#   wine_scaled SECONDS    SECONDS times CLEARWICK_WAIT_FACTOR (1 unless set,
#                          larger on a slower machine), as every wait here
#   wine_wait SECONDS, wait_until SECONDS CMD...

export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when a prefix is made. Wine's menu
# builder stays: it starts Wine's desktop with the session. Without it the
# desktop starts with the first window, and one run in three in the emulated
# machine hung in a test's call into the tool's process. The end-to-end
# harness, which brings the desktop up itself, turns it off.
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
    local dir=${CLEARWICK_WINE_TEMPLATES:-$_wine_root}/template
    if [ "$1" = win32 ]; then echo "$dir"; else echo "$dir-$1"; fi
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
        # The same template whoever makes it.
        export WINEARCH=$arch WINEPREFIX=$template WINEDLLOVERRIDES=mscoree,mshtml=
        wineboot -i >/dev/null 2>&1
        wineserver -w
        # With no window manager on the test display, Wine's own window
        # management keeps a WM_CLOSE from taking seconds.
        wine_hive_add user.reg 'Software\\Wine\\X11 Driver' Managed=N
        # A program that crashes ends, with its backtrace on stderr, rather
        # than waiting behind Wine's crash dialog for a click.
        wine_hive_add user.reg 'Software\\Wine\\WineDbg' ShowCrashDialog=dword:00000000
        # Wine's services get 10 s to start, which a starved machine (the
        # emulated one, under load) overran: RpcSs failed, and a window after it.
        wine_hive_add system.reg 'System\\CurrentControlSet\\Control' ServicesPipeTimeout=120000
        # The event log and plug and play services start with every session and
        # serve nothing here: without them a session starts in 7 s, not 9.5,
        # in the emulated machine.
        wine_hive_add system.reg 'System\\CurrentControlSet\\Services\\Eventlog' Start=dword:00000004
        wine_hive_add system.reg 'System\\CurrentControlSet\\Services\\PlugPlay' Start=dword:00000004
        # The first session after the prefix was made, and the first desktop,
        # rewrite a few of Wine's keys (the network's and the display's
        # classes), once: it happens here, not in a test between its
        # snapshots. A GUI program (rundll32, with nothing to run) starts the
        # desktop.
        wine rundll32.exe >/dev/null 2>&1
        # Debian's Wine does not load the fonts it ships in its data folder;
        # without Marlett it draws the title bar's buttons as letters.
        if [ -f /usr/share/wine/fonts/marlett.ttf ]; then
            cp /usr/share/wine/fonts/marlett.ttf "$template/drive_c/windows/Fonts/"
        fi
        wineserver -w
        touch "$template/.ready"
    ) 9>"${CLEARWICK_WINE_TEMPLATES:-$_wine_root}/template.lock"
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
    /usr/bin/python3 -S -c 'import os, sys
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

wine_set_version() { wine_hive_add user.reg 'Software\\Wine' "Version=$1"; }

# Wine reads a hive file when its wineserver starts, and a key named twice
# there is one key, made if it is new; it writes the file whole when it
# exits. So values go into a prefix that no wineserver has open as a section
# appended to the hive: quicker than starting Wine for regedit.
wine_hive_add() {
    local hive=$WINEPREFIX/$1 key=$2 value name data
    shift 2
    {
        printf '\n[%s]\n' "$key"
        for value; do
            name=${value%%=*} data=${value#*=}
            if [[ $data == dword:* ]]; then
                printf '"%s"=%s\n' "$name" "$data"
                continue
            fi
            data=${data//\\/\\\\} data=${data//\"/\\\"}
            printf '"%s"="%s"\n' "$name" "$data"
        done
    } >>"$hive"
}

# Once the last other program of a prefix has ended, the wineserver waits two
# seconds before it ends Wine's own services, then saves the registry and
# exits. A SIGTERM makes it save and exit at once, leaving the services to be
# ended by hand.
wine_quiet() {
    _wine_server_runs || return 0
    if ! wait_until "${1:-60}" _wine_only_services; then
        echo "wine-lib: Wine programs still run in $WINEPREFIX:" >&2
        _wine_processes >&2
        return 1
    fi
    timeout -k 1 "$(wine_scaled 30)" wineserver -k15 2>/dev/null || true
    if ! timeout -k 1 "$(wine_scaled 30)" wineserver -w; then
        echo "wine-lib: the wineserver of $WINEPREFIX did not end when told to" >&2
        return 1
    fi
    local pid rest
    while read -r pid rest; do kill -KILL "$pid" 2>/dev/null || true; done < <(_wine_processes)
    wait_until 10 eval '[ -z "$(_wine_processes)" ]'
}

# The prefix's Windows processes, one a line: the PID, then the command line
# (Windows', whose first word need not be a path). Each is Wine's loader in an
# environment that names the prefix, read through its threads: a process
# whose first thread has ended shows no exe or environment of its own. Three
# programs run however many processes there are, since wait_until polls this.
_wine_processes() {
    local environ pid seen=" "
    local -a args
    for environ in $(_wine_environs '*/wine' '*/wine64' '*/wine-preloader' '*/wine64-preloader'); do
        pid=${environ#/proc/} pid=${pid%%/*}
        [[ $seen != *" $pid "* ]] && mapfile -d '' args 2>/dev/null <"${environ%environ}cmdline" || continue
        seen+="$pid "
        printf '%s %s\n' "$pid" "${args[*]}"
    done
    return 0
}
# The environment files of this prefix's threads whose executable matches a pattern.
_wine_environs() {
    local pattern tests=()
    for pattern; do tests+=(${tests[0]:+-o} -lname "$pattern"); done
    find /proc/[0-9]*/task/[0-9]*/exe -maxdepth 0 \( "${tests[@]}" \) -printf '%h/environ\n' 2>/dev/null |
        xargs -r grep -lzxF "WINEPREFIX=$WINEPREFIX" 2>/dev/null
}
# Whether a wineserver runs here: where none does, wine_quiet has nothing to end.
_wine_server_runs() { [ -n "$(_wine_environs '*/wineserver*')" ]; }
_wine_only_services() {
    [ -z "$(_wine_processes |
        grep -Eiv '^[0-9]+ C:\\windows\\system32\\((services|winedevice|plugplay|svchost|rpcss)\.exe|explorer\.exe /desktop)')" ]
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
    if [ -n "${WINEPREFIX:-}" ]; then timeout -k 1 "$(wine_scaled 30)" wineserver -k >/dev/null 2>&1 || true; fi
    if [ -n "$_wine_xvfb_pid" ]; then
        kill "$_wine_xvfb_pid" 2>/dev/null || true
        if ! wait_until 10 eval '! kill -0 "$_wine_xvfb_pid" 2>/dev/null'; then
            echo "wine-lib: Xvfb did not end when told to; killed" >&2
            kill -KILL "$_wine_xvfb_pid" 2>/dev/null || true
        fi
        wait "$_wine_xvfb_pid" 2>/dev/null || true
        _wine_xvfb_pid=
    fi
    local mount
    for mount in "${_wine_mounts[@]}"; do _wine_unmount "$mount" || true; done
    _wine_mounts=()
}

# CTest waits for a test's output to close, not only for its script to end:
# a process that outlived wine_cleanup (in the emulated machine, a Wine
# driver host whose first thread had ended) held it until CTest's time-out.
# Its holders are found through every thread's descriptors, under any number
# (a wineserver keeps a program's standard handles under its own); this
# shell's ancestors, which share the pipe, stay.
wine_release_output() {
    local fd pipe link pid stat skip=" "
    pid=$BASHPID
    while [ "$pid" -gt 1 ] && stat=$(</proc/"$pid"/stat); do
        skip+="$pid "
        stat=${stat##*) } stat=${stat#* } pid=${stat%% *}
    done
    for fd in 1 2; do
        pipe=$(readlink "/proc/$BASHPID/fd/$fd" 2>/dev/null) && [[ $pipe == pipe:* ]] || continue
        pipe=${pipe//[/\\[} pipe=${pipe//]/\\]}
        for link in $(find /proc/[0-9]*/task/[0-9]*/fd -lname "$pipe" 2>/dev/null); do
            pid=${link#/proc/} pid=${pid%%/*}
            [[ $skip != *" $pid "* ]] && _wine_writes "${link/\/fd\//\/fdinfo\/}" || continue
            skip+="$pid "
            echo "wine-lib: still holding the output: $(ps -o pid=,ppid=,stat=,etime=,comm= -p "$pid")," \
                "threads:" $(ps -L -o tid=,stat=,wchan:32= -p "$pid") >&2
            kill -KILL "$pid" 2>/dev/null || true
        done
    done
}

# Whether the descriptor whose fdinfo is $1 is open for writing (a pipe's
# reader, CTest say, shares its name with the writers).
_wine_writes() {
    local key flags
    while read -r key flags; do
        [ "$key" != flags: ] || return $(((8#$flags & 3) == 0))
    done 2>/dev/null <"$1"
    return 1
}

wine_wait() { sleep "$(wine_scaled "$1")"; }

# Between tries wait_until sleeps 50 ms, or as long as the try took where
# that is longer: in the emulated machine starting a checking program takes
# most of a second, and checking flat out would take half the CPU from the
# very program it waits for.
wait_until() {
    local deadline start took
    deadline=$(awk -v s="$1" -v f="${CLEARWICK_WAIT_FACTOR:-1}" -v now="${EPOCHREALTIME/./}" \
        'BEGIN { printf "%.0f", now + s * f * 1e6 }')
    shift
    while start=${EPOCHREALTIME/./} && ! "$@"; do
        ((${EPOCHREALTIME/./} < deadline)) || return 1
        took=$((${EPOCHREALTIME/./} - start))
        ((took > 50000)) || took=50000
        sleep "$((took / 1000000)).$(printf %06d $((took % 1000000)))"
    done
}
wine_scaled() { awk -v s="$1" -v f="${CLEARWICK_WAIT_FACTOR:-1}" 'BEGIN { printf "%.3f\n", s * f }'; }
