#!/usr/bin/python3
"""Inspects the built clearwick.exe without running it: a regression in what the
toolchain puts into the executable fails the build's tests.

    check_exe.py CHECK EXE

CHECK names a table below (CHECKS). Each row is a fact: what it is, what the
exe has and what it must have (a range or a set: any of those). Every row is
printed; any failing row makes the exit status 1. pefile reads the PE,
osslsigncode gives a signing tool's checksum, git the commit's time.
"""

import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import pefile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The only DLLs the program may load at start-up, in any case: all ship with
# every 32-bit Windows it supports.
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll"}

# Functions that Windows 95 lacks (or has as a stub that fails): imported
# statically, they would fail the load or misbehave there, so they are looked
# up with GetProcAddress. The W functions fall to the rule in imports().
MISSING_ON_WIN95 = set("""
IsDebuggerPresent
AddVectoredExceptionHandler RemoveVectoredExceptionHandler
AddVectoredContinueHandler RemoveVectoredContinueHandler
AttachConsole GetConsoleWindow
GetDiskFreeSpaceExA GetFileAttributesExA GetLongPathNameA GetModuleHandleExA
InitializeCriticalSectionAndSpinCount SetCriticalSectionSpinCount
TryEnterCriticalSection SwitchToThread SignalObjectAndWait
SetFilePointerEx GetFileSizeEx CreateHardLinkA CreateSymbolicLinkA
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
GetMonitorInfoA MonitorFromWindow MonitorFromPoint EnumDisplayMonitors
GetAncestor TrackMouseEvent SendInput AnimateWindow
SetLayeredWindowAttributes UpdateLayeredWindow SetProcessDPIAware
GetDpiForWindow GetDpiForSystem SetLayout GetLayout
SetDCBrushColor SetDCPenColor AddFontResourceExA AddFontMemResourceEx
SHGetFolderPathA SHCreateDirectoryExA SHGetKnownFolderPath
RegGetValueA RegDeleteTreeA RegDeleteKeyExA RegCopyTreeA RegSetKeyValueA
SystemFunction036
""".split())

# The version record's strings (table 041204B0: Korean, Unicode).
VERSION_STRINGS = {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "Clearwick",
                   "InternalName": "Clearwick", "OriginalFilename": "Clearwick.exe"}

NS = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
      "compat": "urn:schemas-microsoft-com:compatibility.v1"}
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
# The manifest's DPI declarations, (element, text) wherever they stand: per
# monitor, in dpiAwareness for Windows 10 1607 and later, and in dpiAware
# for Vista to 8.1 (true/pm: per monitor on 8.1, system-aware before).
DPI_AWARE = [(SETTINGS_2005 + "dpiAware", "true/pm")]
DPI_AWARENESS = [(SETTINGS_2016 + "dpiAwareness", "PerMonitorV2, PerMonitor")]
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


def resources(pe):
    """(type, name, bytes) of every resource; a name is its number or its text."""
    top = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return [(kind.id, name.id if name.name is None else str(name.name),
             pe.get_data(language.data.struct.OffsetToData, language.data.struct.Size))
            for kind in (top.entries if top else []) for name in kind.directory.entries
            for language in name.directory.entries]


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]].VirtualAddress


def pe_header(exe, pe):
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    # The stamp is the source's time, never the link's, so that every build
    # of a commit is the same bytes.
    source, stamp = "SOURCE_DATE_EPOCH", os.environ.get("SOURCE_DATE_EPOCH")
    if not stamp:
        git = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                             capture_output=True, text=True)
        source, stamp = "the commit's time", git.stdout.strip() or "(none: not a git checkout)"
    # A signing tool's checksum: osslsigncode prints it for an unsigned file
    # too, as "Calculated PE checksum" only when it differs from the header's.
    verify = subprocess.run(["osslsigncode", "verify", "-in", exe], capture_output=True, text=True)
    signing = re.findall(r"^(?:Calculated )?PE checksum *: *([0-9A-Fa-f]+)", verify.stdout, re.M)
    sections = [s.Name.rstrip(b"\0").decode() for s in pe.sections]
    print("sections: " + " ".join(sections))
    return [
        ("machine (i386)", hex(fh.Machine), hex(pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])),
        ("optional header magic (PE32)", hex(oh.Magic), hex(pefile.OPTIONAL_HEADER_MAGIC_PE)),
        ("subsystem (Windows GUI)", oh.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]),
        # Windows 95 refuses images that ask for a newer one.
        ("subsystem version", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), (4, 0)),
        ("OS version", (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion), (4, 0)),
        ("marked executable", fh.IMAGE_FILE_EXECUTABLE_IMAGE, True),
        ("marked as a DLL", fh.IMAGE_FILE_DLL, False),
        ("DYNAMIC_BASE (ASLR)", oh.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE, True),
        ("NX_COMPAT (DEP)", oh.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, True),
        ("TERMINAL_SERVER_AWARE", oh.IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, True),
        ("time stamp = " + source, str(fh.TimeDateStamp), stamp),
        ("checksum = Windows' sum (pefile)", hex(oh.CheckSum), hex(pe.generate_checksum())),
        ("checksum = osslsigncode's", [hex(oh.CheckSum)], [hex(int(s, 16)) for s in signing[-1:]]),
        # What a C run-time's start-up code brings.
        ("TLS directory", directory(pe, "IMAGE_DIRECTORY_ENTRY_TLS"), 0),
        ("C run-time sections", [s for s in sections if s in (".CRT", ".tls")], []),
        ("what pefile could not read", pe.get_warnings(), []),
    ]


def imports(exe, pe):
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]]
    # Every DLL named, with or without functions: pefile's list leaves out a
    # DLL imported with none, which still loads.
    dlls = [d.dll.decode() for d in (table.VirtualAddress and pe.parse_import_directory(
        table.VirtualAddress, table.Size, dllnames_only=True) or [])]
    # (DLL, function); None stands for an import by ordinal.
    found = [(d.dll.decode(), None if i.import_by_ordinal else i.name.decode())
             for d in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for i in d.imports]
    for dll in dlls:
        print("%s: %s" % (dll, " ".join(str(f) for d, f in found if d == dll)))
    print("(%d functions from %d DLLs)" % (len(found), len(dlls)))
    return [
        ("an import table", len(dlls) > 0, True),
        ("DLLs not among " + ", ".join(sorted(ALLOWED_DLLS)),
         [d for d in dlls if d.lower() not in ALLOWED_DLLS], []),
        ("imports by ordinal (import system functions by name)", [d for d, f in found if f is None], []),
        ("functions Windows 95 lacks or fails (look them up with GetProcAddress)",
         [d + "!" + f for d, f in found if f in MISSING_ON_WIN95], []),
        ("wide-character functions, which Windows 95 does not implement",
         [d + "!" + f for d, f in found if f and re.search("[a-z0-9]W$", f)], []),
        ("delay-loaded imports, which this check cannot vet",
         directory(pe, "IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"), 0),
    ]


def resource_table(exe, pe):
    found = resources(pe)
    names = lambda kind: [n for t, n, _ in found if t == kind]
    id_line = re.search(r"^#define IDI_CLEARWICK\s+(\d+)",
                        open(os.path.join(SOURCE, "src/window/resource.h")).read(), re.M)
    for kind, name, data in found:
        print("type %s (%s), name %s, %d bytes" % (kind, pefile.RESOURCE_TYPE.get(kind), name, len(data)))
    return [
        ("resource types (one each: icon, icon group, version, manifest)",
         sorted(t for t, _, _ in found), [3, 14, 16, 24]),
        ("manifest's name (CREATEPROCESS_MANIFEST_RESOURCE_ID)", names(24), [1]),
        ("icon group's name (IDI_CLEARWICK, which the window loads)", names(14),
         [id_line and int(id_line.group(1))]),
        ("version record's name (VS_VERSION_INFO)", names(16), [1]),
    ]


def icon(exe, pe):
    found = resources(pe)
    icons = {n: data for t, n, data in found if t == 3}
    group = next((data for t, _, data in found if t == 14), b"")[:20].ljust(20, b"\0")
    _, kind, count, w, h, colours, _, planes, bits, size, ident = struct.unpack("<HHHBBBBHHIH", group)
    image = icons.get(ident, b"")
    (hsize, bw, bh, bplanes, bbits, compression, _, _, _, used,
     _) = struct.unpack_from("<IiiHHIIiiII", image.ljust(40, b"\0"))
    return [
        ("icon group type (1: icon)", kind, 1),
        ("images in the icon group", count, 1),
        ("group image width, height", (w, h), (32, 32)),
        ("group image bits per pixel, planes", (bits, planes), (8, 1)),
        ("group image colour count (0 means 256)", colours, 0),
        ("icon resources (the group's one)", sorted(icons), [ident]),
        ("icon image size against the group's record", len(image), size),
        ("icon bitmap header size (BITMAPINFOHEADER)", hsize, 40),
        ("icon bitmap width, height (XOR and AND mask)", (bw, bh), (32, 64)),
        ("icon bitmap planes, bits per pixel", (bplanes, bbits), (1, 8)),
        ("icon bitmap compression", compression, 0),
        ("icon palette entries (0 means 256)", used, {0, 256}),
        # Header, 256-entry palette, 32x32 bytes of colour, 32 rows of 4 mask bytes.
        ("icon image length", len(image), 40 + 256 * 4 + 32 * 32 + 32 * 4),
    ]


def version(exe, pe):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return [("version record as pefile reads it", pe.get_warnings(), "a VS_VERSION_INFO record")]
    record, fixed, blocks = pe.VS_VERSIONINFO[0], pe.VS_FIXEDFILEINFO[0], getattr(pe, "FileInfo", [[]])[0]
    by_key = {b.Key.decode(): b for b in blocks}
    tables = getattr(by_key.get("StringFileInfo"), "StringTable", [])
    variables = getattr(by_key.get("VarFileInfo"), "Var", [])
    dotted = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    # pefile reads only a VarFileInfo's first Var and a Translation's last
    # pair: a block that ends where its last child ends holds nothing more.
    end = lambda s: s.get_file_offset() + s.Length
    children = [(record, blocks)] + [(b, getattr(b, "StringTable", []) + getattr(b, "Var", []))
                                     for b in blocks]
    return [
        ("record key", record.Key.decode(), "VS_VERSION_INFO"),
        ("fixed part's size", record.ValueLength, 52),
        ("fixed signature", hex(fixed.Signature), hex(0xFEEF04BD)),
        ("fixed file version", dotted(fixed.FileVersionMS, fixed.FileVersionLS), "1.0.0.0"),
        ("fixed product version", dotted(fixed.ProductVersionMS, fixed.ProductVersionLS), "1.0.0.0"),
        ("fixed file OS (VOS__WINDOWS32)", hex(fixed.FileOS), hex(0x4)),
        ("fixed file type (VFT_APP)", fixed.FileType, 1),
        ("blocks", sorted(b.Key.decode() for b in blocks), ["StringFileInfo", "VarFileInfo"]),
        ("string tables", [t.LangID.decode() for t in tables], ["041204B0"]),
        ("strings", {k.decode(): v.decode() for t in tables for k, v in t.entries.items()},
         VERSION_STRINGS),
        ("variables", [v.entry for v in variables], [{b"Translation": "0x0412 0x04b0"}]),
        ("translation pairs' bytes (one pair)", [v.ValueLength for v in variables], [4]),
        ("bytes after each block's last child", [end(p) - end(c[-1]) if c else None for p, c in children],
         [0] * len(children)),
    ]


def manifest(exe, pe):
    raw = b"".join(data for t, n, data in resources(pe) if (t, n) == (24, 1))
    rows = [("manifest's first bytes (UTF-8, no byte-order mark)", raw[:5], b"<?xml")]
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as error:
        return rows + [("manifest's XML", str(error), "well-formed")]
    declared = lambda tag: [(e.tag, (e.text or "").strip()) for e in root.findall(".//{*}" + tag)]
    supported = [e.get("Id") for e in root.findall(
        "compat:compatibility/compat:application/compat:supportedOS", NS)]
    print("supportedOS: " + ", ".join(SUPPORTED_OS.get(i, i) for i in supported))
    return rows + [
        ("root", root.tag, "{%s}assembly" % NS["v1"]),
        ("manifestVersion", root.get("manifestVersion"), "1.0"),
        ("assemblyIdentity type, processorArchitecture",
         [(e.get("type"), e.get("processorArchitecture"))
          for e in root.findall("v1:assemblyIdentity", NS)],
         [("win32", "X86")]),
        # The form that Windows XP SP2 also loads: trustInfo in asm.v3.
        ("requestedExecutionLevel level, uiAccess (in asm.v3 trustInfo)",
         [(e.get("level"), e.get("uiAccess")) for e in root.findall(
             "v3:trustInfo/v3:security/v3:requestedPrivileges/v3:requestedExecutionLevel", NS)],
         [("requireAdministrator", "false")]),
        ("dpiAware", declared("dpiAware"), DPI_AWARE),
        ("dpiAwareness", declared("dpiAwareness"), DPI_AWARENESS),
        ("supportedOS", sorted(supported), sorted(SUPPORTED_OS)),
        # The controls keep their classic look: no Common Controls 6.
        ("dependent assemblies", [ET.tostring(e) for e in root.iterfind(".//v1:dependentAssembly", NS)], []),
    ]


def size(exe, pe):
    length, goal = os.path.getsize(exe), 12288
    print("size: %d bytes, %s the goal of %d" % (length, "within" if length <= goal else "above", goal))
    return [("size in bytes", length, range(16384 + 1))]


def reproducible(exe, pe):
    """Builds clearwick.exe again from the same source, in a folder of
    another name, and compares the bytes."""
    with tempfile.TemporaryDirectory() as tmp:
        second = os.path.join(tmp, "another-build-folder")
        toolchain = os.path.join(SOURCE, "cmake/toolchain-mingw-i686.cmake")
        for command in (["cmake", "-S", SOURCE, "-B", second, "-DCMAKE_BUILD_TYPE=MinSizeRel",
                         "-DCMAKE_TOOLCHAIN_FILE=" + toolchain],
                        ["cmake", "--build", second, "--target", "clearwick", "-j2"]):
            build = subprocess.run(command, capture_output=True, text=True)
            if build.returncode:
                print("\n".join((build.stdout + build.stderr).splitlines()[-20:]))
                return [("the second build's exit status", build.returncode, 0)]
        digest = lambda path: hashlib.sha256(open(path, "rb").read()).hexdigest()
        image = open(exe, "rb").read()
        paths = [SOURCE, os.path.dirname(os.path.abspath(exe)), second]
        return [
            ("sha256 of a second build", digest(os.path.join(second, "clearwick.exe")), digest(exe)),
            ("build paths in the exe", [p for p in paths if p.encode() in image], []),
        ]


def no_global_ctors(exe, pe):
    """ld folds .ctors and .dtors into .text, between the list markers of its
    default script: each list is its -1 and its 0 and nothing between them
    unless some object brought a constructor or a destructor. The section
    table cannot tell, so the link map beside the exe does. With no C
    run-time, nothing would run a global constructor."""
    path = os.path.splitext(exe)[0] + ".map"
    if not os.path.isfile(path):
        return [("the link map", path, "present")]
    # From "__CTOR_LIST__ = ." to the 0 that ends the destructor list: the two
    # markers, the lists' words (LONG), and the input sections between them,
    # " .ctors  0x00403000  0x4 a.obj" (after a long name, its address and size
    # are on the next line).
    lists = re.search(r"^ +(0x\w+) +__CTOR_LIST__ = \.$.*?^ +(0x\w+) +__DTOR_LIST__ = \.$"
                      r".*?^ +(0x\w+) +(0x\w+) LONG 0x0+$", open(path).read(), re.M | re.S)
    ctors, dtors, end, size = [int(n, 16) for n in lists.groups()] if lists else [0] * 4
    entries = [(name, int(length, 16), where.strip() or "?") for name, length, where in re.findall(
        r"^ *(\.[cd]tors?(?:[.$]\S*)?)\s+0x\w+[ \t]+(0x\w+)(.*)$", lists.group(0) if lists else "", re.M)]
    return [
        ("the map's __CTOR_LIST__ and __DTOR_LIST__, complete", bool(lists), True),
        ("constructor list's bytes (8 when empty)", lists and dtors - ctors, 8),
        ("destructor list's bytes (8 when empty)", lists and end + size - dtors, 8),
        ("constructors and destructors linked in", [e for e in entries if e[1]], []),
    ]


CHECKS = {"pe_header": pe_header, "imports": imports, "resources": resource_table, "icon": icon,
          "version": version, "manifest": manifest, "size": size, "reproducible": reproducible,
          "no_global_ctors": no_global_ctors}


def main(argv):
    if len(argv) != 3 or argv[1] not in CHECKS:
        sys.exit(__doc__)
    check, exe = argv[1:]
    try:
        pe = pefile.PE(exe)
    except (OSError, pefile.PEFormatError) as error:
        sys.exit("FAIL: %s: %s" % (exe, error))
    faults = 0
    for what, actual, wanted in CHECKS[check](exe, pe):
        ok = actual in wanted if isinstance(wanted, (range, set)) else actual == wanted
        faults += not ok
        print("%-4s %s: %r%s" % ("ok" if ok else "FAIL", what, actual,
                                 "" if ok else ", expected %r" % (wanted,)))
    print("%s: %s" % (check, "%d fault(s) in %s" % (faults, exe) if faults else "ok"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
