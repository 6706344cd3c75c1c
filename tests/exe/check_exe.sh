#!/usr/bin/env bash
# Inspects the built clearwick.exe without running it, so a regression in what
# the toolchain puts into the executable fails the build's tests.
#
#   check_exe.sh CHECK EXE [OBJDUMP]
#
# CHECK is one of:
#   pe_header  i386, GUI subsystem, subsystem and OS version 4.0 (Windows 95
#              refuses newer ones), ASLR, DEP and Terminal Server aware, the
#              commit's time as time stamp (SOURCE_DATE_EPOCH when set), the
#              checksum a signing tool calculates, and nothing of a C
#              run-time: no TLS directory, no .CRT or .tls section
#   no_global_ctors  the link map beside the exe (NAME.map) shows nothing
#              between the constructor and destructor lists' end markers:
#              with no C run-time, nothing would run a global constructor
#   imports    only KERNEL32, USER32, GDI32 and ADVAPI32, no function Windows
#              95 lacks; prints the import list
#   resources  exactly an icon, an icon group, a version record and a manifest
#   icon       the icon group holds one 32x32 image of 256 colours
#   version    the version record's numbers and strings
#   manifest   the manifest's XML: administrator, DPI aware, supported OS
#   size       at most 16 KiB; prints the size and whether it meets 12 KiB
#   reproducible  a second build of the same source, in a folder of another
#              name, gives the same bytes; no build path in the file
#
# Needs the mingw-w64 objdump (binutils-mingw-w64-i686), wrestool (icoutils),
# osslsigncode, git and python3. Exits 0 when the check passes, 1 with FAIL
# lines when not.
set -u

check=${1:-}
exe=${2:-}
objdump=${3:-i686-w64-mingw32-objdump}
here=$(cd "$(dirname "$0")" && pwd)

if [[ -z $check || -z $exe ]]; then
    sed -n '2,/^set /{/^#/p}' "$0" >&2
    exit 2
fi
if [[ ! -f $exe ]]; then
    echo "FAIL: $exe does not exist" >&2
    exit 1
fi

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

need() {
    if ! command -v "$1" >/dev/null 2>&1; then
        echo "FAIL: $1 not found (install $2)"
        exit 1
    fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The only DLLs the program may load at start-up: all ship with every 32-bit
# Windows the program supports. Compared without regard to case.
allowed_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll"

# Functions that Windows 95 lacks (or has only as a stub that fails), which a
# static import would turn into a load failure or a silent malfunction there.
# They must be looked up with GetProcAddress instead. Wide-character functions
# of the Win32 DLLs are rejected by a general rule below as well.
missing_on_win95="
IsDebuggerPresent
AddVectoredExceptionHandler RemoveVectoredExceptionHandler
AddVectoredContinueHandler RemoveVectoredContinueHandler
AttachConsole GetConsoleWindow
GetDiskFreeSpaceExA GetDiskFreeSpaceExW
GetFileAttributesExA GetFileAttributesExW
GetLongPathNameA GetLongPathNameW
InitializeCriticalSectionAndSpinCount SetCriticalSectionSpinCount
TryEnterCriticalSection SwitchToThread SignalObjectAndWait
GetModuleHandleExA GetModuleHandleExW
SetFilePointerEx GetFileSizeEx CreateHardLinkA CreateHardLinkW
CreateSymbolicLinkA CreateSymbolicLinkW
FlsAlloc FlsFree FlsGetValue FlsSetValue
GetTickCount64 GetSystemTimePreciseAsFileTime
InterlockedCompareExchange InterlockedExchangeAdd
InitializeSListHead InterlockedPushEntrySList InterlockedPopEntrySList
IsProcessorFeaturePresent
EncodePointer DecodePointer
ConvertThreadToFiber CreateFiber DeleteFiber SwitchToFiber
CreateWaitableTimerA SetWaitableTimer CancelWaitableTimer
CancelIo GlobalMemoryStatusEx VerifyVersionInfoA
GetNativeSystemInfo IsWow64Process RtlCaptureContext
SetDllDirectoryA OpenThread GetProcessId GetThreadId
InitializeSRWLock AcquireSRWLockExclusive ReleaseSRWLockExclusive
AcquireSRWLockShared ReleaseSRWLockShared
InitializeConditionVariable SleepConditionVariableCS
WakeConditionVariable WakeAllConditionVariable InitOnceExecuteOnce
CreateWindowExW SetWindowTextW GetWindowTextW RegisterClassW
RegisterClassExW DefWindowProcW CallWindowProcW MessageBoxW
SetWindowLongW GetWindowLongW SendMessageW PostMessageW
GetMessageW PeekMessageW DispatchMessageW IsDialogMessageW
LoadIconW LoadCursorW FindWindowW
GetMonitorInfoA MonitorFromWindow MonitorFromPoint EnumDisplayMonitors
GetAncestor TrackMouseEvent SendInput AnimateWindow
SetLayeredWindowAttributes UpdateLayeredWindow SetProcessDPIAware
GetDpiForWindow GetDpiForSystem
CreateFontIndirectW CreateFontW TextOutW ExtTextOutW DrawTextW
GetTextExtentPoint32W GetTextMetricsW SetLayout GetLayout
SetDCBrushColor SetDCPenColor AddFontResourceExA AddFontMemResourceEx
SHGetFolderPathA SHGetFolderPathW SHCreateDirectoryExA ShellExecuteW
SHGetKnownFolderPath
RegGetValueA RegDeleteTreeA RegDeleteKeyExA RegCopyTreeA RegSetKeyValueA
SystemFunction036
"

check_pe_header() {
    need "$objdump" binutils-mingw-w64-i686
    local headers file
    file=$("$objdump" -f "$exe") || { fail "objdump -f failed"; return; }
    headers=$("$objdump" -p "$exe") || { fail "objdump -p failed"; return; }

    field() { awk -v k="$1" '$1 == k { print $2; exit }' <<<"$headers"; }
    local arch magic subsystem sub_major sub_minor os_major os_minor
    arch=$(sed -n 's/^architecture: \([^,]*\),.*/\1/p' <<<"$file")
    magic=$(field Magic)
    subsystem=$(field Subsystem)
    sub_major=$(field MajorSubsystemVersion)
    sub_minor=$(field MinorSubsystemVersion)
    os_major=$(field MajorOSystemVersion)
    os_minor=$(field MinorOSystemVersion)
    echo "architecture $arch, magic $magic, subsystem $subsystem," \
         "subsystem version $sub_major.$sub_minor, OS version $os_major.$os_minor"

    [[ $arch == i386 ]] || fail "machine is '$arch', expected i386"
    [[ $magic == 010b ]] || fail "optional header magic is '$magic', expected 010b (PE32)"
    [[ $subsystem == 00000002 ]] || fail "subsystem is '$subsystem', expected 00000002 (Windows GUI)"
    [[ $sub_major.$sub_minor == 4.0 ]] || fail "subsystem version is $sub_major.$sub_minor, expected 4.0"
    [[ $os_major.$os_minor == 4.0 ]] || fail "OS version is $os_major.$os_minor, expected 4.0"
    local characteristics
    characteristics=$(sed -n '/^Characteristics/,/^$/p' <<<"$headers")
    grep -qw executable <<<"$characteristics" || fail "the image is not marked executable"
    grep -qw DLL <<<"$characteristics" && fail "the image is marked as a DLL"

    # 0x0040 DYNAMIC_BASE, 0x0100 NX_COMPAT, 0x8000 TERMINAL_SERVER_AWARE.
    local dll_characteristics stamp
    dll_characteristics=$((16#$(field DllCharacteristics)))
    printf 'DllCharacteristics 0x%04x\n' "$dll_characteristics"
    ((dll_characteristics & 0x0040)) || fail "not DYNAMIC_BASE (ASLR)"
    ((dll_characteristics & 0x0100)) || fail "not NX_COMPAT (DEP)"
    ((dll_characteristics & 0x8000)) || fail "not TERMINAL_SERVER_AWARE"
    # The stamp is the source's time, never the link's, so that every build
    # of a commit is the same bytes.
    local expected source
    stamp=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(struct.unpack_from("<I", d, struct.unpack_from("<I", d, 60)[0] + 8)[0])' "$exe")
    if [[ -n ${SOURCE_DATE_EPOCH:-} ]]; then
        expected=$SOURCE_DATE_EPOCH source=SOURCE_DATE_EPOCH
    else
        expected=$(git -C "$here/../.." log -1 --format=%ct 2>/dev/null) source="the commit's time"
    fi
    echo "time stamp $stamp ($(date -u -d "@$stamp" '+%Y-%m-%d %H:%M:%S UTC')), $source ${expected:-unknown}"
    if [[ -z $expected ]]; then
        fail "no commit to compare the time stamp with: not a git checkout, and SOURCE_DATE_EPOCH is not set"
    elif [[ $stamp != "$expected" ]]; then
        fail "the header's time stamp is $stamp, not $source ($expected)"
    fi

    # The checksum, as a signing tool calculates it: osslsigncode prints it
    # for a file with no signature too.
    need osslsigncode osslsigncode
    local checksum calculated
    checksum=$(field CheckSum)
    calculated=$(osslsigncode verify -in "$exe" 2>/dev/null |
        sed -n -e 's/^PE checksum *: *\([0-9A-Fa-f]*\).*/\1/p' -e 's/^Calculated PE checksum *: *\([0-9A-Fa-f]*\).*/\1/p')
    echo "checksum $checksum, calculated ${calculated:-(none)}"
    if [[ -z $calculated ]]; then
        fail "osslsigncode calculated no PE checksum"
    elif [[ ${checksum,,} != "${calculated,,}" ]]; then
        fail "the header's checksum is $checksum, not $calculated"
    elif ((16#$checksum == 0)); then
        fail "the header has no checksum"
    fi

    # What a C run-time's start-up code brings.
    local tls sections
    tls=$(awk '$1 == "Entry" && $2 == "9" { print $3 }' <<<"$headers")
    [[ -z $tls || $tls == 00000000 ]] || fail "the image has a TLS directory"
    sections=$("$objdump" -h "$exe" | awk '$1 ~ /^[0-9]+$/ { print $2 }' | tr '\n' ' ')
    echo "sections: $sections"
    [[ " $sections " == *" .CRT "* ]] && fail "the image has a .CRT section"
    [[ " $sections " == *" .tls "* ]] && fail "the image has a .tls section"
}

check_imports() {
    need "$objdump" binutils-mingw-w64-i686
    local headers
    headers=$("$objdump" -p "$exe") || { fail "objdump -p failed"; return; }

    # "DLL|Function" per import; "<none>" stands for an import by ordinal.
    awk '
        /^[ \t]*DLL Name: / { dll = $3; next }
        dll != "" && /^[ \t]*$/ { dll = ""; next }
        dll != "" && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+/ { print dll "|" $3 }
        dll != "" && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]*$/ { print dll "|<none>" }
    ' <<<"$headers" >"$tmp/imports"
    # Also the DLLs listed without any function (possible, and still loaded).
    sed -n 's/^[ \t]*DLL Name: \(.*\)$/\1/p' <<<"$headers" >"$tmp/dlls"

    if [[ ! -s $tmp/dlls ]]; then
        fail "no import table found"
        return
    fi

    echo "imports:"
    local dll
    while read -r dll; do
        printf '  %s: %s\n' "$dll" \
            "$(awk -F'|' -v d="$dll" '$1 == d { printf "%s%s", sep, $2; sep = " " }' "$tmp/imports")"
    done <"$tmp/dlls"
    echo "  ($(wc -l <"$tmp/imports") functions from $(wc -l <"$tmp/dlls") DLLs)"

    while read -r dll; do
        [[ " $allowed_dlls " == *" ${dll,,} "* ]] \
            || fail "imports from $dll, which is not one of: $allowed_dlls"
    done <"$tmp/dlls"

    local fn lower
    while IFS='|' read -r dll fn; do
        lower=${dll,,}
        if [[ $fn == "<none>" ]]; then
            fail "$dll is imported by ordinal; import system functions by name"
            continue
        fi
        if grep -qxF -- "$fn" <(tr -s ' \n' '\n\n' <<<"$missing_on_win95"); then
            fail "$dll!$fn is missing on Windows 95 (or only a failing stub there); look it up with GetProcAddress"
        elif [[ $fn =~ [a-z0-9]W$ ]]; then
            fail "$dll!$fn is a wide-character function, which Windows 95 does not implement; look it up at run time"
        fi
    done <"$tmp/imports"

    local delay
    delay=$(awk '$1 == "Entry" && $2 == "d" { print $3 }' <<<"$headers")
    [[ -z $delay || $delay == 00000000 ]] || fail "the image has delay-loaded imports, which this check cannot vet"
}

list_resources() {
    need wrestool icoutils
    wrestool -l "$exe" >"$tmp/resources" 2>"$tmp/wrestool.err" \
        || { fail "wrestool -l failed: $(cat "$tmp/wrestool.err")"; return 1; }
}

# "type name" per resource, as wrestool lists them.
resource_keys() {
    sed -n "s/^--type=\\([^ ]*\\) --name=\\([^ ]*\\) .*/\\1 \\2/p" "$tmp/resources" | tr -d "'"
}

icon_id() {
    sed -n 's/^#define IDI_CLEARWICK[ \t]\{1,\}\([0-9]\{1,\}\).*/\1/p' \
        "$here/../../src/window/resource.h"
}

check_resources() {
    list_resources || return
    echo "resources:"
    sed 's/^/  /' "$tmp/resources"

    local keys types id
    keys=$(resource_keys)
    types=$(cut -d' ' -f1 <<<"$keys" | sort | tr '\n' ' ')
    [[ $types == "14 16 24 3 " ]] \
        || fail "resource types are '$types', expected exactly one each of 3 (icon), 14 (icon group), 16 (version), 24 (manifest)"
    grep -qx "24 1" <<<"$keys" || fail "the manifest is not named 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID)"

    id=$(icon_id)
    [[ -n $id ]] || fail "IDI_CLEARWICK not found in src/window/resource.h"
    grep -qx "14 $id" <<<"$keys" || fail "no icon group named $id (IDI_CLEARWICK), which the window loads"
    grep -qx "16 1" <<<"$keys" || fail "the version record is not named 1 (VS_VERSION_INFO)"
}

check_icon() {
    list_resources || return
    local group icon
    group=$(resource_keys | awk '$1 == 14 { print $2; exit }')
    [[ -n $group ]] || { fail "no icon group"; return; }
    wrestool -x --raw --type=14 --name="$group" "$exe" >"$tmp/group" \
        || { fail "cannot extract the icon group"; return; }
    # The group's first record names the icon resource it uses.
    icon=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); print(struct.unpack_from("<H", d, 18)[0] if len(d) >= 20 else "")' "$tmp/group")
    [[ -n $icon ]] || { fail "the icon group is empty"; return; }
    wrestool -x --raw --type=3 --name="$icon" "$exe" >"$tmp/icon" 2>/dev/null
    [[ -s $tmp/icon ]] || { fail "the icon group points to icon $icon, which is missing"; return; }
    python3 "$here/decode_resource.py" icon "$tmp/group" "$tmp/icon" "$icon" || failures=$((failures + 1))
}

check_version() {
    list_resources || return
    wrestool -x --raw --type=16 "$exe" >"$tmp/version" 2>/dev/null
    [[ -s $tmp/version ]] || { fail "no version record"; return; }
    python3 "$here/decode_resource.py" version "$tmp/version" || failures=$((failures + 1))
}

check_manifest() {
    list_resources || return
    wrestool -x --raw --type=24 --name=1 "$exe" >"$tmp/manifest" 2>/dev/null
    [[ -s $tmp/manifest ]] || { fail "no manifest"; return; }
    python3 "$here/decode_resource.py" manifest "$tmp/manifest" || failures=$((failures + 1))
}

# Builds clearwick.exe again from the same source in a folder of another
# name and compares the bytes.
check_reproducible() {
    local source second
    source=$(cd "$here/../.." && pwd)
    second=$tmp/another-build-folder
    if ! { cmake -S "$source" -B "$second" -DCMAKE_BUILD_TYPE=MinSizeRel \
               -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-mingw-i686.cmake" &&
           cmake --build "$second" --target clearwick -j2; } >"$tmp/build.log" 2>&1; then
        tail -n 20 "$tmp/build.log"
        fail "the second build failed"
        return
    fi
    sha256sum "$exe" "$second/clearwick.exe" | sed "s|$tmp/||"
    cmp "$exe" "$second/clearwick.exe" || fail "two builds of the same source differ"
    local path
    for path in "$source" "$(dirname "$exe")" "$second"; do
        grep -qaF "$path" "$exe" && fail "the exe holds the build path $path"
    done
}

# ld folds .ctors and .dtors into .text, between the list markers of its
# default script: each list is its -1 and its 0 and nothing between them
# unless some object brought a constructor or a destructor. The section
# table cannot tell, so the map does.
check_no_global_ctors() {
    local map=${exe%.*}.map
    [[ -f $map ]] || { fail "no link map $map"; return; }
    python3 - "$map" <<'EOF' || failures=$((failures + 1))
import re
import sys

# From "__CTOR_LIST__ = ." to the 0 that ends the destructor list: the two
# markers, the lists' words (LONG), and the input sections between them,
# " .ctors  0x00403000  0x4 a.obj" (after a long name, its address and size
# are on the next line).
region, pending, marks, words, entries = False, None, {}, [], []
for line in open(sys.argv[1]):
    f = line.split()
    if pending is not None:
        if len(f) >= 2 and f[0].startswith("0x") and f[1].startswith("0x"):
            entries.append((pending, int(f[1], 16), f[2] if len(f) > 2 else "?"))
        pending = None
        continue
    if len(f) == 4 and f[1] in ("__CTOR_LIST__", "__DTOR_LIST__") and f[2:] == ["=", "."]:
        region = True
        marks[f[1]] = int(f[0], 16)
    elif not region:
        continue
    elif len(f) == 4 and f[2] == "LONG":
        words.append((int(f[0], 16) + int(f[1], 16), int(f[3], 16) == 0))
        if words[-1][1] and "__DTOR_LIST__" in marks:
            break
    elif f and re.fullmatch(r"\.(ctors?|dtors?)([.$].*)?", f[0]):
        if len(f) == 1:
            pending = f[0]
        elif len(f) >= 3 and f[1].startswith("0x"):
            entries.append((f[0], int(f[2], 16), f[3] if len(f) > 3 else "?"))

faults = []
if len(marks) != 2 or not words or not words[-1][1]:
    print("FAIL: the link map has no complete __CTOR_LIST__ and __DTOR_LIST__; this check cannot read it")
    sys.exit(1)
ctors = marks["__DTOR_LIST__"] - marks["__CTOR_LIST__"]
dtors = words[-1][0] - marks["__DTOR_LIST__"]
print("constructor list %d bytes, destructor list %d bytes (8 each when empty)" % (ctors, dtors))
for name, size, source in entries:
    if size:
        faults.append("a global constructor or destructor was linked in: %s, %d bytes, from %s"
                      % (name, size, source))
if ctors != 8:
    faults.append("the constructor list holds %d bytes of entries" % (ctors - 8))
if dtors != 8:
    faults.append("the destructor list holds %d bytes of entries" % (dtors - 8))
for fault in faults:
    print("FAIL: " + fault)
sys.exit(1 if faults else 0)
EOF
}

check_size() {
    local size limit=16384 goal=12288
    size=$(stat -c %s "$exe")
    if ((size <= goal)); then
        echo "size: $size bytes: within the limit of $limit and meets the goal of $goal"
    elif ((size <= limit)); then
        echo "size: $size bytes: within the limit of $limit, but above the goal of $goal"
    else
        fail "size: $size bytes, above the limit of $limit (goal $goal)"
    fi
}

case $check in
    pe_header | imports | resources | icon | version | manifest | size | reproducible | no_global_ctors)
        "check_$check"
        ;;
    *)
        echo "unknown check '$check'" >&2
        exit 2
        ;;
esac

if ((failures)); then
    echo "$check: $failures fault(s) in $exe"
    exit 1
fi
echo "$check: ok"
