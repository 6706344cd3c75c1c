#!/usr/bin/env bash
# Runs a command where 32-bit Windows programs run under Wine.
#
#   scripts/win32-run.sh [--machines] COMMAND [ARG...]
#   scripts/win32-run.sh --prepare   only makes the machine's image, where one
#                                    will be needed, to overlap other work
#
# Where this host runs i386 code, COMMAND runs here. Where it does not (its
# kernel's 32-bit emulation is off, so neither Wine's 32-bit loader nor its
# WoW64 starts), COMMAND runs in an emulated Debian 12 machine made from
# Debian's packages and kept in a cache. The repository is shared at the same
# path, COMMAND runs in the same folder with the CLEARWICK_*, E2E_*, WINE*, CI,
# CTEST_* and SOURCE_DATE_EPOCH variables, its input empty, its output here as
# it is written, and its status is this script's. Wine's prefixes live on the
# machine's RAM disk, its templates on a kept disk of their own; waits are
# CLEARWICK_WAIT_FACTOR (5) times longer. The console log is
# build/guest/console.log. Build on the host: compilers are slow there.
#
# --machines: COMMAND shares out its work by CLEARWICK_SHARD, K,,N (a ctest
# -I range: every Nth test from the Kth). A machine has one CPU, so a host
# of N cores runs N machines, each with a share; here, COMMAND runs once,
# with 1,,1.
#
# CLEARWICK_GUEST=1      the emulated machine even where i386 code runs here
# CLEARWICK_GUEST_CACHE  the machine's cache (~/.cache/clearwick-guest)
# CLEARWICK_GUEST_MACHINES  how many machines --machines runs (the cores)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)

usage() {
    echo "usage: scripts/win32-run.sh [--machines] COMMAND [ARG...] | --prepare" >&2
    exit 2
}
machines=1 prepare=
if [ "${1:-}" = --prepare ]; then
    [ $# -eq 1 ] || usage
    prepare=1
    set -- true
elif [ "${1:-}" = --machines ]; then
    shift
    export CLEARWICK_SHARD=${CLEARWICK_SHARD:-1,,1}
    [ -n "${CLEARWICK_GUEST_MACHINE:-}" ] || machines=${CLEARWICK_GUEST_MACHINES:-$(nproc)}
fi
[ $# -gt 0 ] || usage
say() { printf 'win32-run: %s\n' "$*" >&2; }
die() {
    say "FAILED: $*"
    exit 1
}

# A static i386 ELF program (header, one PT_LOAD, then mov eax, 1; mov ebx,
# 42; int 0x80) that exits with 42 through the 32-bit system call gate.
i386_probe='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'

# Written into the build folder: /tmp may be noexec.
runs_i386() {
    local probe status=0
    mkdir -p "$repo/build"
    probe=$(mktemp "$repo/build/.i386-probe.XXXXXX")
    printf "$i386_probe" >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" = 42 ]
}

# Inside the machine, or on a host that runs i386 code: here.
if [ -n "${CLEARWICK_IN_GUEST:-}" ]; then exec "$@"; fi
if [ "${CLEARWICK_GUEST:-}" != 1 ] && runs_i386; then exec "$@"; fi

# --- The machine's image ----------------------------------------------------
suite=bookworm
# Without the security suite: a mirror served its i386 index stale, and then
# nothing 32-bit installs.
mirror=http://deb.debian.org/debian
sudo=
if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
case $repo$PWD in
    *[[:space:]]*) die "the emulated machine cannot share a path with spaces: $repo" ;;
esac

# PID 1 of the machine: mounts what a Linux system needs and the host's
# repository at its own path (both from the kernel's command line), runs the
# session script that the host wrote there, and powers off.
guest_init() {
    cat <<'INIT'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
# The initramfs leaves /proc, /sys and /dev mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs -o size=75% tmpfs /tmp
ip link set lo up
for word in $(cat /proc/cmdline); do
    case $word in
        clearwick.share=*) share=${word#*=} ;;
        clearwick.session=*) session=${word#*=} ;;
    esac
done
modprobe -a 9pnet_virtio 9p virtio_console 2>/dev/null
mkdir -p "$share"
if mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose share "$share"; then
    /bin/bash "$session"
    echo "clearwick-init: the session ended with status $?"
    umount "$share"
else
    echo "clearwick-init: cannot mount the host's $share"
fi
sync
echo o >/proc/sysrq-trigger
INIT
}

# Makes the image in DIR: the kernel and initrd that Debian's
# linux-image-amd64 installs, and an ext4 root file system with the
# packages that scripts/install-deps.sh installs on a host, the i386
# architecture added, and the locales that the tests use.
make_image() {
    local dir=$1 root=$1/root packages mb
    rm -rf "$dir"
    mkdir -p "$root"
    packages=$("$repo/scripts/install-deps.sh" --list | tr '\n' ',')linux-image-amd64,kmod,iproute2,procps
    guest_init >"$dir/clearwick-init"
    $sudo mmdebstrap --variant=minbase --architectures=amd64,i386 --include="$packages" \
        --aptopt='APT::Install-Recommends "false"' \
        --customize-hook="install -m 755 '$dir/clearwick-init' \"\$1/sbin/clearwick-init\"" \
        --customize-hook='sed -i -e "s/^# *\(en_US\|ko_KR\).UTF-8 UTF-8/\1.UTF-8 UTF-8/" "$1/etc/locale.gen"' \
        --customize-hook='chroot "$1" locale-gen' \
        --customize-hook='echo clearwick-guest >"$1/etc/hostname"' \
        "$suite" "$root" "deb $mirror $suite main" "deb $mirror $suite-updates main" || return 1
    cp "$root"/boot/vmlinuz-* "$dir/vmlinuz"
    cp "$root"/boot/initrd.img-* "$dir/initrd.img"
    # Room for what the tests write there (Wine's prefixes go to a RAM disk).
    mb=$(($($sudo du -sm "$root" | cut -f1) + 1024))
    $sudo mke2fs -q -t ext4 -L clearwick -d "$root" "$dir/root.img" "${mb}M" || return 1
    $sudo rm -rf "$root" "$dir/clearwick-init"
    $sudo chown -R "$(id -u):$(id -g)" "$dir"
    (cd "$dir" && sha256sum vmlinuz initrd.img root.img >SHA256SUMS)
}

# The image is named after its recipe, and used once whole (its stamp is
# written last). The stamp holds its files' sizes and times; their sums,
# 26 s of reading, are checked only when those differ.
cache=${CLEARWICK_GUEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/clearwick-guest}
key=$({ declare -f make_image guest_init; "$repo/scripts/install-deps.sh" --list; echo "$suite"; } |
    sha256sum | cut -c1-16)
image=$cache/debian12-$key
image_files() { (cd "$1" && stat -c '%n %s %Y' vmlinuz initrd.img root.img); }
image_ok() {
    local files
    files=$(image_files "$1" 2>/dev/null) && [ -f "$1/.ready" ] || return 1
    [ "$files" = "$(cat "$1/.ready")" ] && return 0
    (cd "$1" && sha256sum --quiet --strict -c SHA256SUMS >/dev/null 2>&1) && echo "$files" >"$1/.ready"
}

"$repo/scripts/install-deps.sh" --guest >&2 || die "installing qemu and mmdebstrap"
mkdir -p "$cache"
exec 8>"$cache/.lock"
flock 8
if ! image_ok "$image"; then
    [ -e "$image" ] && say "the cached machine in $image is incomplete or damaged: making it anew"
    say "making the emulated Debian 12 machine in $image (once; some minutes)..."
    started=$SECONDS
    mkdir -p "$repo/build/guest"
    if ! make_image "$image.new" >"$repo/build/guest/make.log" 2>&1; then
        tail -n 30 "$repo/build/guest/make.log" >&2
        $sudo rm -rf "$image.new"
        die "making the machine's image (mmdebstrap, mke2fs); the log is build/guest/make.log"
    fi
    image_files "$image.new" >"$image.new/.ready"
    rm -rf "$image"
    mv "$image.new" "$image"
    # Only the current image is kept.
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -path "$image" -exec rm -rf {} +
    say "made in $((SECONDS - started)) s: $(du -sh --apparent-size "$image" | cut -f1) ($(du -sh "$image" | cut -f1) on disk)"
fi
flock -u 8
[ -z "$prepare" ] || exit 0

# --- Several machines, each a share of the work: this script again -----------
if [ "$machines" -gt 1 ]; then
    # 12 GiB of memory each, mostly never touched.
    memory=$(awk '/^MemAvailable:/ { print int($2 / 1024 / 1024 / 7) }' /proc/meminfo)
    [ "$machines" -le "$memory" ] || machines=$((memory > 1 ? memory : 1))
fi
if [ "$machines" -gt 1 ]; then
    pids=()
    trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
    for k in $(seq "$machines"); do
        CLEARWICK_GUEST_MACHINE=$k CLEARWICK_SHARD=$k,,$machines "$0" --machines "$@" \
            > >(sed -u "s/^/[$k] /") 2>&1 &
        pids+=("$!")
    done
    status=0
    for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
    pids=()
    exit "$status"
fi

# --- One session --------------------------------------------------------------
cpus=1  # why one: see the qemu command below
run=$repo/build/guest${CLEARWICK_GUEST_MACHINE:+/$CLEARWICK_GUEST_MACHINE}
rm -rf "$run/session"
mkdir -p "$run/session"

# The session script: COMMAND, its folder and its variables, quoted for bash.
{
    echo '#!/bin/bash'
    echo "run=$(printf %q "$run/session")"
    cat <<'SESSION'
# The command's output goes to the host's terminal through a virtio port.
for port in /sys/class/virtio-ports/*; do
    [ "$(cat "$port/name" 2>/dev/null)" = clearwick.out ] && exec >"/dev/${port##*/}" 2>&1
done
touch "$run/started"
failed() {
    echo "win32-run: FAILED: $*"
    echo 1 >"$run/status"
    exit
}
[ "$(cat /sys/devices/system/clocksource/clocksource0/current_clocksource)" != tsc ] ||
    failed "the machine keeps time by the host's TSC, though its kernel was started with tsc=unstable"
export HOME=/root LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/sbin:/usr/sbin:/sbin
# Wine's prefixes go to an ext4 file system in the machine's memory (a RAM
# disk): Wine keeps the DOS attributes (hidden, system) in extended
# attributes, which this kernel's tmpfs does not keep, and a disk of qemu's
# costs the emulated CPUs far more. Freed blocks are used again, so the 6 GiB
# bound the memory it takes.
mkdir -p /scratch
if ! { modprobe brd rd_nr=1 rd_size=$((6 * 1024 * 1024)) max_part=0 &&
    mke2fs -q -t ext4 -O ^has_journal /dev/ram0 && mount -o noatime /dev/ram0 /scratch; }; then
    failed "making the machine's RAM disk for Wine's prefixes"
fi
export CLEARWICK_IN_GUEST=1 CLEARWICK_WINE_DIR=/scratch/wine
# Wine's templates are kept from run to run on a disk of their own, when the
# host gave one: formatted on first use, and again if a run that ended badly
# left it beyond repair.
if [ -b /dev/vdb ]; then
    e2fsck -p /dev/vdb >/dev/null 2>&1 || [ $? -lt 4 ] || mke2fs -q -F -t ext4 /dev/vdb
    mkdir -p /templates
    mount -o noatime /dev/vdb /templates || failed "mounting the disk of Wine's templates"
    export CLEARWICK_WINE_TEMPLATES=/templates
fi
# Under TCG a Windows program runs some five times slower than on a host that
# runs i386 code: every fixed wait and time-out of the tests and the bench is
# that many times longer (a CLEARWICK_WAIT_FACTOR set on the host wins).
export CLEARWICK_WAIT_FACTOR=5
# The share belongs to the host's user, who may not be root here.
git config --global --add safe.directory '*'
SESSION
    printf '%s\n' "$(declare -f runs_i386)" "i386_probe=$(printf %q "$i386_probe")"
    for name in $(compgen -e); do
        case $name in
            CLEARWICK_GUEST* | CLEARWICK_WINE_DIR | CLEARWICK_WINE_TEMPLATES) ;;
            CI | CLEARWICK_* | E2E_* | WINE* | CTEST_* | SOURCE_DATE_EPOCH)
                echo "export $name=$(printf %q "${!name}")" ;;
        esac
    done
    echo "repo=$(printf %q "$repo")"
    echo "cd $(printf %q "$PWD")"
    cat <<'SESSION'
runs_i386 || failed "the emulated machine does not run i386 code either"
status=0
SESSION
    # Its input is empty: the machine's console is no terminal of the user's,
    # and Wine would start a console host on it for every program.
    printf '%q ' "$@"
    echo '</dev/null || status=$?'
    echo '! mountpoint -q /templates || umount /templates'
    echo 'echo "$status" >"$run/status"'
} >"$run/session/session.sh"

# The disk of Wine's templates, named after what makes them: the image, the
# CPU count (Wine records it in the registry) and the recipe in
# tests/wine/wine-lib.sh. Making them takes minutes in the
# machine. One run at a time uses it; another, meanwhile, makes its own.
# Each of several machines has its own.
recipe=$({
    echo "$key cpus=$cpus"
    (. "$repo/tests/wine/wine-lib.sh" && declare -f _wine_template_dir _wine_template wine_hive_add)
} | sha256sum | cut -c1-16)
templates=$cache/templates-$recipe${CLEARWICK_GUEST_MACHINE:+-$CLEARWICK_GUEST_MACHINE}.img
templates_drive=()
exec 9>>"$templates.lock"
if flock -n 9; then
    # Older templates go; another machine of this run may be deleting them too.
    find "$cache" -maxdepth 1 -name 'templates-*' ! -name "templates-$recipe*" -delete 2>/dev/null || true
    [ -f "$templates" ] || truncate -s 8G "$templates"
    templates_drive=(-drive "file=$templates,format=raw,if=virtio,cache=unsafe")
else
    say "another run is using the kept templates; this one makes its own"
fi

host_tmp=$(mktemp -d)
fifo=$host_tmp/out
mkfifo "$fifo"

# TCG, qemu's own translator, works on any x86-64 host. KVM is no help on
# ours: where /dev/kvm opens at all, it is nested, and the guest never
# reaches its console. Why -cpu qemu64 and not max: under TCG, max gives the
# guest SMAP and PKU, and Debian 12's kernel then oopses in the user copies
# of every 32-bit Wine process. qemu64 is the plain x86-64 that Debian's
# amd64 needs. Why one CPU: with two (one host thread each, or one for
# both), the machine now and then lost a wake-up from one CPU to the other
# (a child's exit that ctest or timeout waited on, a sleep's timer), and a
# test or a whole run hung until its time-out. A machine gets a host core's
# worth either way; several machines use the rest. Why tsc=unstable: under
# TCG the guest's TSC is the host's own, read raw, and where that jumps (a
# virtual host moved to another, say) the machine's clock jumped with it: a
# day forward in the middle of a run, and every test then running timed
# out. The kernel then keeps time by the HPET, which qemu drives from the
# host's monotonic clock.
qemu=(qemu-system-x86_64 -accel tcg -cpu qemu64 -smp "$cpus" -m 12G
    -nodefaults -display none -no-reboot -nic none
    -kernel "$image/vmlinuz" -initrd "$image/initrd.img"
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=-1 mitigations=off tsc=unstable init=/sbin/clearwick-init clearwick.share=$repo clearwick.session=$run/session/session.sh"
    # The root disk is a throwaway snapshot: the image never changes.
    -drive "file=$image/root.img,format=raw,if=virtio,snapshot=on,cache=unsafe"
    "${templates_drive[@]}"
    -fsdev "local,id=share,path=$repo,security_model=none,multidevs=remap"
    -device virtio-9p-pci,fsdev=share,mount_tag=share
    -serial "file:$run/console.log"
    -device virtio-serial-pci
    -chardev "file,id=out,path=$fifo"
    -device virtserialport,chardev=out,name=clearwick.out)

qemu_pid= cat_pid=
# Ends qemu and the reader of its output, and waits until they are gone (a
# wait in a trap may return at once): nothing is left behind, Ctrl-C included.
stop_qemu() {
    local pid tries
    for pid in $qemu_pid $cat_pid; do
        kill "$pid" 2>/dev/null || true
        for tries in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    qemu_pid= cat_pid=
    rm -rf "$host_tmp"
}
trap stop_qemu EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

say "running in the emulated machine: $*"
# The port's bytes reach this script's own standard output through a FIFO:
# qemu opening that file itself would write past what this script writes.
cat "$fifo" &
cat_pid=$!
"${qemu[@]}" </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!
# A failure of the machine, with the end of its console log.
die_console() {
    tail -n 20 "$run/console.log" >&2 2>/dev/null || true
    die "$* (console: ${run#"$repo"/}/console.log)"
}
boot_limit=${CLEARWICK_GUEST_BOOT_TIMEOUT:-300}
started=$SECONDS
until [ -e "$run/session/started" ]; do
    if ! kill -0 "$qemu_pid" 2>/dev/null; then
        wait "$qemu_pid" || true
        qemu_pid=
        cat "$run/qemu.log" >&2
        die_console "booting the machine: qemu ended before the session started"
    fi
    if [ $((SECONDS - started)) -ge "$boot_limit" ]; then
        die_console "booting the machine: no session after $boot_limit s"
    fi
    sleep 0.5
done
say "booted in $((SECONDS - started)) s"
wait "$qemu_pid" || true
wait "$cat_pid" || true
qemu_pid= cat_pid=
if [ ! -f "$run/session/status" ]; then
    die_console "the machine ended without the command's status"
fi
exit "$(cat "$run/session/status")"
