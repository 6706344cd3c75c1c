#!/usr/bin/env python3
"""Decodes and checks raw resources extracted from clearwick.exe (wrestool -x --raw).

    decode_resource.py icon GROUP_FILE ICON_FILE ICON_NAME
    decode_resource.py version VERSION_FILE
    decode_resource.py manifest MANIFEST_FILE

Prints what it found; exits 1 with a line per fault when the resource is not
what the program ships.
"""

import struct
import sys

faults = []


def expect(what, actual, wanted):
    if actual != wanted:
        faults.append("%s is %r, expected %r" % (what, actual, wanted))


# --- icon group (type 14) and its one image (type 3) -----------------------

def check_icon(group_path, icon_path, icon_name):
    group = open(group_path, "rb").read()
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    expect("icon group type", kind, 1)
    expect("images in the icon group", count, 1)
    entries = []
    for i in range(count):
        entries.append(struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i))
    for w, h, colours, _, planes, bits, size, ident in entries:
        print("group image: %dx%d, %d bpp, %d planes, colour count %d, "
              "%d bytes, icon resource %d" % (w or 256, h or 256, bits, planes,
                                              colours, size, ident))
    if count != 1:
        return
    w, h, colours, _, planes, bits, size, ident = entries[0]
    expect("group image width", w, 32)
    expect("group image height", h, 32)
    expect("group image bits per pixel", bits, 8)
    expect("group image planes", planes, 1)
    expect("group image colour count (0 means 256)", colours, 0)
    expect("icon resource the group points to", ident, icon_name)

    image = open(icon_path, "rb").read()
    expect("icon image size against the group's record", len(image), size)
    (hsize, bw, bh, bplanes, bbits, compression, _, _, _, used,
     _) = struct.unpack_from("<IiiHHIIiiII", image, 0)
    print("icon image: header %d, %dx%d (XOR+AND), %d bpp, compression %d, "
          "%d colours used, %d bytes" % (hsize, bw, bh, bbits, compression,
                                         used, len(image)))
    expect("icon bitmap header size (BITMAPINFOHEADER)", hsize, 40)
    expect("icon bitmap width", bw, 32)
    expect("icon bitmap height (XOR and AND mask)", bh, 64)
    expect("icon bitmap planes", bplanes, 1)
    expect("icon bitmap bits per pixel", bbits, 8)
    expect("icon bitmap compression", compression, 0)
    if used not in (0, 256):
        faults.append("icon palette has %d entries, expected 256" % used)
    # Header, 256-entry palette, 32x32 bytes of colour, 32 rows of 4 mask bytes.
    expect("icon image length", len(image), 40 + 256 * 4 + 32 * 32 + 32 * 4)


# --- version record (type 16) ----------------------------------------------

def parse_block(data, offset):
    """One VS_VERSIONINFO-style block: (key, type, value, children, end)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    if length < 6 or end > len(data):
        raise ValueError("block at %d has length %d" % (offset, length))
    pos = offset + 6
    key_end = pos
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise ValueError("block at %d has no key" % offset)
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = data[pos:pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = parse_block(data, pos)
        children.append(child)
        pos = (child[4] + 3) & ~3
    return key, kind, value, children, end


def text(value):
    s = value.decode("utf-16-le")
    return s[:-1] if s.endswith("\0") else s


def check_version(path):
    data = open(path, "rb").read()
    try:
        key, _, fixed, children, _ = parse_block(data, 0)
    except (ValueError, struct.error) as error:
        faults.append("version record is malformed: %s" % error)
        return
    expect("version record key", key, "VS_VERSION_INFO")
    if len(fixed) != 52:
        faults.append("fixed part is %d bytes, expected 52" % len(fixed))
        return
    (signature, _, file_ms, file_ls, prod_ms, prod_ls, flags_mask, flags,
     file_os, file_type, subtype, _, _) = struct.unpack("<13I", fixed)

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    print("fixed: file %s, product %s, OS 0x%X, type %d, subtype %d, "
          "flags 0x%X (mask 0x%X)" % (dotted(file_ms, file_ls),
                                      dotted(prod_ms, prod_ls), file_os,
                                      file_type, subtype, flags, flags_mask))
    expect("fixed signature", signature, 0xFEEF04BD)
    expect("fixed file version", dotted(file_ms, file_ls), "1.0.0.0")
    expect("fixed product version", dotted(prod_ms, prod_ls), "1.0.0.0")
    if file_os != 0x4:
        faults.append("fixed file OS is 0x%X, expected 0x4 (VOS__WINDOWS32)"
                      % file_os)
    expect("fixed file type (1 is VFT_APP)", file_type, 0x1)

    wanted = {
        "FileVersion": "1.00",
        "ProductVersion": "1.00",
        "ProductName": "Clearwick",
        "InternalName": "Clearwick",
        "OriginalFilename": "Clearwick.exe",
    }
    blocks = {c[0]: c for c in children}
    expect("version record blocks", sorted(blocks),
           ["StringFileInfo", "VarFileInfo"])
    if "StringFileInfo" in blocks:
        tables = blocks["StringFileInfo"][3]
        expect("string tables", [t[0] for t in tables], ["041204B0"])
        for table in tables:
            strings = {}
            for name, _, value, _, _ in table[3]:
                strings[name] = text(value)
                print("string %s %s = %r" % (table[0], name, strings[name]))
            for name in sorted(set(strings) | set(wanted)):
                if name not in wanted:
                    faults.append("unexpected string %s = %r"
                                  % (name, strings[name]))
                else:
                    expect("string %s" % name, strings.get(name), wanted[name])
    if "VarFileInfo" in blocks:
        variables = {c[0]: c[2] for c in blocks["VarFileInfo"][3]}
        expect("VarFileInfo entries", sorted(variables), ["Translation"])
        if "Translation" in variables:
            raw = variables["Translation"]
            pairs = [struct.unpack_from("<HH", raw, i)
                     for i in range(0, len(raw) - 3, 4)]
            print("translation: %s" % ", ".join(
                "0x%04X/%d" % p for p in pairs))
            expect("translation", pairs, [(0x0412, 1200)])


# --- manifest (type 24) -----------------------------------------------------

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10 and 11",
}


def check_manifest(path):
    import xml.etree.ElementTree as ET
    raw = open(path, "rb").read()
    expect("manifest's first bytes (UTF-8, no byte-order mark)", raw[:5], b"<?xml")
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as error:
        faults.append("the manifest is not well-formed XML: %s" % error)
        return
    expect("manifest root", root.tag, ASM_V1 + "assembly")
    expect("manifestVersion", root.get("manifestVersion"), "1.0")
    identity = root.find(ASM_V1 + "assemblyIdentity")
    if identity is None:
        faults.append("no assemblyIdentity")
    else:
        expect("assemblyIdentity type", identity.get("type"), "win32")
        expect("assemblyIdentity processorArchitecture", identity.get("processorArchitecture"), "X86")
    # The form that Windows XP SP2 also loads: trustInfo in asm.v3.
    levels = root.findall(ASM_V3 + "trustInfo/" + ASM_V3 + "security/" + ASM_V3 +
                          "requestedPrivileges/" + ASM_V3 + "requestedExecutionLevel")
    expect("requestedExecutionLevel elements (in asm.v3 trustInfo)", len(levels), 1)
    for level in levels:
        print("requestedExecutionLevel: level=%s uiAccess=%s" % (level.get("level"), level.get("uiAccess")))
        expect("requestedExecutionLevel level", level.get("level"), "requireAdministrator")
        expect("requestedExecutionLevel uiAccess", level.get("uiAccess"), "false")
    dpi = root.findall(".//" + WINDOWS_SETTINGS + "dpiAware")
    print("dpiAware: %s" % ", ".join((d.text or "").strip() for d in dpi))
    expect("dpiAware", [(d.text or "").strip() for d in dpi], ["true"])
    expect("dpiAwareness (per-monitor) elements", len(root.findall(".//{*}dpiAwareness")), 0)
    ids = [os.get("Id") for os in root.findall(COMPAT + "compatibility/" + COMPAT +
                                                   "application/" + COMPAT + "supportedOS")]
    print("supportedOS: %s" % ", ".join(SUPPORTED_OS.get(i, i) for i in ids))
    expect("supportedOS", sorted(ids), sorted(SUPPORTED_OS))
    # The controls keep their classic look: no Common Controls 6.
    for dependency in root.iter(ASM_V1 + "dependentAssembly"):
        faults.append("the manifest depends on an assembly: %s" % ET.tostring(dependency))


def main():
    mode = sys.argv[1] if len(sys.argv) > 1 else ""
    if mode == "icon" and len(sys.argv) == 5:
        check_icon(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif mode == "version" and len(sys.argv) == 3:
        check_version(sys.argv[2])
    elif mode == "manifest" and len(sys.argv) == 3:
        check_manifest(sys.argv[2])
    else:
        sys.exit(__doc__)
    for fault in faults:
        print("FAIL: " + fault)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
