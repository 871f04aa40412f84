#!/usr/bin/env python3
"""Checks the resources of a built ostrada.exe.

    check_resources.py EXE x86|x64

Reads the executable's PE resource directory and compares it, entry by
entry, with what the program must carry: the icon groups "AAA" and 1 with
their images, the one application manifest, and the version block. Prints
each check and exits with 1 if any of them failed (2 for a usage error or
a file that is not a PE image).
"""

import struct
import sys
import xml.etree.ElementTree as ET

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
RESOURCE_TYPES = [RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST]
EN_US, NEUTRAL = 1033, 0

# Each icon group: its name, its language, and its images as (size, bits).
ICON_GROUPS = [
    ("AAA", EN_US, [(16, 8), (16, 32), (24, 8), (24, 32),
                    (32, 8), (32, 32), (48, 8), (48, 32)]),
    (1, NEUTRAL, [(32, 1), (32, 4), (16, 4)]),
]

MACHINES = {"x86": 0x14C, "x64": 0x8664}
MANIFEST_ARCH = {"x86": "X86", "x64": "amd64"}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
# Windows 7, 8, 8.1 and 10 (and 11).
SUPPORTED_OS = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]

# VS_FIXEDFILEINFO after its signature and structure version.
FIXED_FIELDS = [
    ("FILEVERSION (high)", (1 << 16) | 0), ("FILEVERSION (low)", (0 << 16) | 35),
    ("PRODUCTVERSION (high)", (1 << 16) | 0), ("PRODUCTVERSION (low)", (0 << 16) | 35),
    ("FILEFLAGSMASK", 0), ("FILEFLAGS", 0), ("FILEOS", 0x4), ("FILETYPE", 0x1),
    ("FILESUBTYPE", 0), ("file date (high)", 0), ("file date (low)", 0),
]
STRING_TABLE = "040904B0"
STRINGS = [
    ("Comments", "Ostrada"),
    ("CompanyName", "https://ostrada.example.org"),
    ("FileDescription", "Joins the lines of a pasted text into one line."),
    ("LegalCopyright", "The Ostrada project"),
    ("LegalTrademarks", "The Ostrada project"),
    ("ProductName", "Ostrada"),
    ("FileVersion", "1.00.0035"),
    ("ProductVersion", "1.00.0035"),
    ("InternalName", "ostrada"),
    ("OriginalFilename", "ostrada.exe"),
]
TRANSLATION = (0x0409, 1200)


class Report:
    def __init__(self):
        self.checks = 0
        self.failures = 0

    def check(self, what, found, expected):
        """One check: passes when found == expected."""
        self.checks += 1
        if found == expected:
            print(f"ok    {what}: {found!r}")
            return True
        self.failures += 1
        print(f"FAIL  {what}: found {found!r}, expected {expected!r}")
        return False

    def fail(self, what):
        self.checks += 1
        self.failures += 1
        print(f"FAIL  {what}")


def entry_key(entry):
    """A directory entry's name as a str, or its number as an int."""
    return str(entry.name) if entry.name is not None else entry.id


def sort_key(key):
    """Orders numbers before names, as the resource directory does."""
    return (isinstance(key, str), key if isinstance(key, int) else 0, str(key))


def leaves(entry):
    """The language entries under a name entry, as (language id, bytes)."""
    return [(lang.id, lang.data.struct) for lang in entry.directory.entries]


class Resources:
    def __init__(self, pe):
        self.pe = pe
        directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        self.types = {entry_key(t): t.directory.entries
                      for t in (directory.entries if directory else [])}

    def data(self, leaf):
        return self.pe.get_data(leaf.OffsetToData, leaf.Size)

    def names(self, rtype):
        """The name entries of a type, in directory order."""
        return self.types.get(rtype, [])


# --- Icons ---------------------------------------------------------------

def check_icon_image(report, what, data, size, bits):
    """An RT_ICON: a BITMAPINFOHEADER, colour table, XOR image and AND mask."""
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        report.fail(f"{what}: stored as PNG, not as a DIB")
        return
    if len(data) < 40:
        report.fail(f"{what}: {len(data)} bytes, too short for a BITMAPINFOHEADER")
        return
    (hsize, width, height, planes, bitcount, compression,
     _, _, _, clr_used, _) = struct.unpack_from("<IiiHHIIiiII", data)
    ok = report.check(f"{what}: DIB header (size, width, height, planes, bits, compression)",
                      (hsize, width, height, planes, bitcount, compression),
                      (40, size, 2 * size, 1, bits, 0))
    if not ok:
        return
    colours = (clr_used or 1 << bits) if bits <= 8 else 0
    xor_stride = (size * bits + 31) // 32 * 4
    and_stride = (size + 31) // 32 * 4
    table_end = 40 + 4 * colours
    mask_at = table_end + xor_stride * size
    if not report.check(f"{what}: data length", len(data), mask_at + and_stride * size):
        return

    def clear(x, y):
        return data[mask_at + y * and_stride + x // 8] >> (7 - x % 8) & 1

    if bits <= 8:
        # The mask is ANDed with the screen and the image XORed onto it, so a
        # clear pixel must be black or it shows as a coloured smear.
        per_byte = 8 // bits
        wrong = 0
        for y in range(size):
            row = data[table_end + y * xor_stride:]
            for x in range(size):
                index = row[x // per_byte] >> ((per_byte - 1 - x % per_byte) * bits) & ((1 << bits) - 1)
                if clear(x, y) and data[40 + 4 * index:43 + 4 * index] != b"\0\0\0":
                    wrong += 1
        report.check(f"{what}: clear pixels that are not black", wrong, 0)
    else:
        alpha = data[40 + 3:mask_at:4]
        report.check(f"{what}: has an alpha channel", any(alpha), True)


def check_icon_groups(report, res):
    groups = res.names(RT_GROUP_ICON)
    report.check("icon groups, in directory order", [entry_key(g) for g in groups],
                 [name for name, _, _ in ICON_GROUPS])
    icons = {entry_key(e): leaves(e) for e in res.names(RT_ICON)}
    used = set()
    for group in groups:
        name = entry_key(group)
        expected = next((g for g in ICON_GROUPS if g[0] == name), None)
        if expected is None:
            continue
        _, language, images = expected
        langs = leaves(group)
        report.check(f"icon group {name!r}: languages", [l for l, _ in langs], [language])
        data = res.data(langs[0][1])
        reserved, kind, count = struct.unpack_from("<HHH", data)
        report.check(f"icon group {name!r}: header (reserved, type)", (reserved, kind), (0, 1))
        if not report.check(f"icon group {name!r}: images", count, len(images)):
            continue
        if not report.check(f"icon group {name!r}: data length", len(data), 6 + 14 * count):
            continue
        for i, (size, bits) in enumerate(images, 1):
            (w, h, colour_count, zero, planes, bitcount, nbytes,
             icon_id) = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * (i - 1))
            what = f"icon group {name!r} image {i}"
            report.check(f"{what}: entry (width, height, colours, reserved, planes, bits)",
                         (w, h, colour_count, zero, planes, bitcount),
                         (size % 256, size % 256, 1 << bits if bits < 8 else 0, 0, 1, bits))
            if icon_id in used:
                report.fail(f"{what}: RT_ICON {icon_id} is used twice")
                continue
            used.add(icon_id)
            icon = icons.get(icon_id)
            if icon is None:
                report.fail(f"{what}: RT_ICON {icon_id} is missing")
                continue
            report.check(f"{what}: RT_ICON {icon_id} languages", [l for l, _ in icon], [language])
            image = res.data(icon[0][1])
            report.check(f"{what}: RT_ICON {icon_id} length in the group entry", nbytes, len(image))
            check_icon_image(report, f"{what} ({size}x{size}, {bits} bits)", image, size, bits)
    report.check("RT_ICON entries that no group uses", sorted(set(icons) - used, key=sort_key), [])


# --- Manifest ------------------------------------------------------------

def check_manifest(report, res, arch):
    names = res.names(RT_MANIFEST)
    report.check("manifests (names)", [entry_key(n) for n in names], [1])
    first = next((n for n in names if entry_key(n) == 1), None)
    if first is None:
        return
    langs = leaves(first)
    report.check("manifest 1: languages", [l for l, _ in langs], [EN_US])
    data = res.data(langs[0][1])
    report.check("manifest: UTF-8 byte-order mark", data[:3], b"\xef\xbb\xbf")
    try:
        data.decode("utf-8")
        root = ET.fromstring(data)
    except (UnicodeDecodeError, ET.ParseError) as e:
        report.fail(f"manifest: not well-formed UTF-8 XML: {e}")
        return
    report.check("manifest: root element", root.tag, ASM_V1 + "assembly")
    report.check("manifest: manifestVersion", root.get("manifestVersion"), "1.0")

    own = root.findall(ASM_V1 + "assemblyIdentity")
    if report.check("manifest: own assemblyIdentity elements", len(own), 1):
        attrs = own[0].attrib
        report.check("manifest: own assemblyIdentity (version, processorArchitecture, type)",
                     (attrs.get("version"), attrs.get("processorArchitecture"), attrs.get("type")),
                     ("1.0.0.0", MANIFEST_ARCH[arch], "win32"))
        report.check("manifest: own assemblyIdentity has a name", bool(attrs.get("name")), True)

    # Per-monitor density awareness, and the older setting that systems
    # without dpiAwareness read instead.
    settings = root.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings")
    if report.check("manifest: windowsSettings elements", len(settings), 1):
        report.check("manifest: dpiAware", [e.text for e in settings[0].findall(SETTINGS_2005 + "dpiAware")],
                     ["true/pm"])
        report.check("manifest: dpiAwareness",
                     [e.text for e in settings[0].findall(SETTINGS_2016 + "dpiAwareness")],
                     ["PerMonitorV2, PerMonitor"])
    report.check("manifest: supportedOS",
                 [(e.get("Id") or "").lower() for e in
                  root.findall(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS")],
                 SUPPORTED_OS)

    deps = root.findall(ASM_V1 + "dependency")
    if not report.check("manifest: dependency elements", len(deps), 1):
        return
    dependent = deps[0].findall(ASM_V1 + "dependentAssembly")
    if not report.check("manifest: dependentAssembly elements", len(dependent), 1):
        return
    ident = dependent[0].findall(ASM_V1 + "assemblyIdentity")
    if not report.check("manifest: dependency's assemblyIdentity elements", len(ident), 1):
        return
    report.check("manifest: dependency's assemblyIdentity", dict(sorted(ident[0].attrib.items())),
                 dict(sorted({
                     "type": "win32",
                     "name": "Microsoft.Windows.Common-Controls",
                     "version": "6.0.0.0",
                     "processorArchitecture": MANIFEST_ARCH[arch],
                     "publicKeyToken": "6595b64144ccf1df",
                     "language": "*",
                 }.items())))


# --- Version block -------------------------------------------------------

class Node:
    """One VS_VERSIONINFO / StringFileInfo / StringTable / String / Var."""

    def __init__(self, data, at, end):
        if at + 6 > end:
            raise ValueError(f"block at {at} runs past its parent")
        self.length, self.value_length, self.type = struct.unpack_from("<HHH", data, at)
        if self.length < 6 or at + self.length > end:
            raise ValueError(f"block at {at} has length {self.length}, past its parent")
        stop = at + self.length
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= stop:
                raise ValueError(f"block at {at} has an unterminated key")
        self.key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        # A text value's length counts UTF-16 units, a binary one's bytes.
        value_size = self.value_length * (2 if self.type == 1 else 1)
        if value_at + value_size > stop:
            raise ValueError(f"block {self.key!r} has a value past its end")
        self.value = data[value_at:value_at + value_size]
        self.children = []
        child = (value_at + value_size + 3) & ~3
        while child < stop:
            node = Node(data, child, stop)
            self.children.append(node)
            child = (child + node.length + 3) & ~3


def check_version(report, res):
    names = res.names(RT_VERSION)
    if not report.check("version blocks (names)", [entry_key(n) for n in names], [1]):
        return
    langs = leaves(names[0])
    report.check("version block: languages", len(langs), 1)
    data = res.data(langs[0][1])
    try:
        root = Node(data, 0, len(data))
    except ValueError as e:
        report.fail(f"version block: malformed: {e}")
        return
    report.check("version block: root key", root.key, "VS_VERSION_INFO")
    if not report.check("version block: VS_FIXEDFILEINFO length", len(root.value), 52):
        return
    signature, struc_version, *fields = struct.unpack("<13I", root.value)
    report.check("version block: signature, structure version",
                 (hex(signature), hex(struc_version)), (hex(0xFEEF04BD), hex(0x10000)))
    for (name, expected), found in zip(FIXED_FIELDS, fields):
        report.check(f"version block: {name}", hex(found), hex(expected))

    if not report.check("version block: children", [c.key for c in root.children],
                        ["StringFileInfo", "VarFileInfo"]):
        return
    string_info, var_info = root.children
    report.check("StringFileInfo: tables", [t.key for t in string_info.children], [STRING_TABLE])
    if string_info.children:
        strings = string_info.children[0].children
        report.check(f"StringTable {STRING_TABLE}: keys, in order",
                     [s.key for s in strings], [k for k, _ in STRINGS])
        for s in strings:
            # A text value ends with one NUL, which its length counts.
            text = s.value.decode("utf-16-le", errors="replace")
            report.check(f"string {s.key}: (type, value, ends with a counted NUL)",
                         (s.type, text[:-1], text[-1:] == "\0"),
                         (1, dict(STRINGS).get(s.key), True))
    if report.check("VarFileInfo: entries", [v.key for v in var_info.children], ["Translation"]):
        var = var_info.children[0]
        found = struct.unpack("<HH", var.value) if len(var.value) == 4 else var.value
        report.check("Translation: (type, (language, code page))",
                     (var.type, found), (0, TRANSLATION))


def main(argv):
    if len(argv) != 3 or argv[2] not in MACHINES:
        print(f"usage: {argv[0]} EXE x86|x64", file=sys.stderr)
        return 2
    path, arch = argv[1], argv[2]
    try:
        pe = pefile.PE(path)
    except (OSError, pefile.PEFormatError) as e:
        print(f"{path}: {e}", file=sys.stderr)
        return 2

    print(f"Resources of {path} ({arch})")
    report = Report()
    report.check("machine", hex(pe.FILE_HEADER.Machine), hex(MACHINES[arch]))
    res = Resources(pe)
    report.check("resource types", sorted(res.types, key=sort_key), RESOURCE_TYPES)
    check_icon_groups(report, res)
    check_manifest(report, res, arch)
    check_version(report, res)

    print(f"{report.checks} checks, {report.failures} failed")
    return 1 if report.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
