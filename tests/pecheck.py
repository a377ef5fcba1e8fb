#!/usr/bin/env python3
"""Checks the built program as a file: machine, subsystem, entry point, the headers' and sections'
layout, imports, resources and the dialog template, and prints its size: what the running tests
cannot see.

Usage: pecheck.py EXE --machine i386|amd64 --map MAPFILE [--max-size BYTES]
"""
import re
import struct
import sys

import pefile

MACHINES = {"i386": 0x14C, "amd64": 0x8664}
SYSTEM_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL"}  # SHELL32 is loaded on the first "..."
# The wide calls the program may make: reading a folder's name as the system has it, to see
# whether the code page holds it exactly, and that name's short form.
WIDE_CALLS = {"GetModuleFileNameW", "GetShortPathNameW", "RegQueryValueExW"}


class Pe:
    """The facts the checks read, from pefile."""
    def __init__(self, path):
        try:
            self.image = pefile.PE(path)
        except pefile.PEFormatError as error:
            raise SystemExit(f"{path}: not a Windows program ({error})")
        image = self.image
        self.data = image.__data__
        self.machine = image.FILE_HEADER.Machine
        self.timestamp = image.FILE_HEADER.TimeDateStamp
        self.entry = image.OPTIONAL_HEADER.AddressOfEntryPoint
        self.image_base = image.OPTIONAL_HEADER.ImageBase
        self.subsystem = image.OPTIONAL_HEADER.Subsystem
        self.dll_characteristics = image.OPTIONAL_HEADER.DllCharacteristics
        self.dirs = [(d.VirtualAddress, d.Size) for d in image.OPTIONAL_HEADER.DATA_DIRECTORY]
        self.sections = [(s.Name.rstrip(b"\0").decode(), s.Misc_VirtualSize, s.VirtualAddress, s.SizeOfRawData,
                          s.PointerToRawData) for s in image.sections]
        # where the section headers end: the headers' own extent
        self.headers_end = image.sections[-1].get_file_offset() + 40 if image.sections else 0

    def offset(self, rva):
        return self.image.get_offset_from_rva(rva)

    def imports(self):
        """{dll: [function names]} from the import directory."""
        return {entry.dll.decode().upper(): [f"#{i.ordinal}" if i.import_by_ordinal else i.name.decode()
                                             for i in entry.imports]
                for entry in getattr(self.image, "DIRECTORY_ENTRY_IMPORT", [])}


def check_imports(pe, problems):
    for dll, names in pe.imports().items():
        if dll not in SYSTEM_DLLS:
            problems.append(f"imports from {dll}: {names}")
        for n in names:
            # A wide function ends in W after a lower-case letter or digit (GetWindowTextW, not ...ALLOW).
            wide = n.endswith("W") and len(n) > 1 and (n[-2].islower() or n[-2].isdigit())
            if n.startswith("#") or (wide and n not in WIDE_CALLS):
                problems.append(f"imports {dll}!{n}: only named ANSI or neutral functions, and the wide "
                                f"calls that read a name exactly, are allowed")


RT_ICON, RT_DIALOG, RT_GROUP_ICON = 3, 5, 14
EN_US = 0x409
IDI_SETUP, IDD_SETUP = 1001, 1002
WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0xC00000, 0x80000
DS_MODALFRAME, DS_CENTER, DS_SETFONT, DS_3DLOOK = 0x80, 0x800, 0x40, 0x4
WS_CHILD, WS_BORDER, WS_TABSTOP = 0x40000000, 0x800000, 0x10000
BS_CENTER, SS_ICON = 0x300, 3
CLASS_ORDINALS = {0x80: "BUTTON", 0x81: "EDIT", 0x82: "STATIC"}

# The setup dialog as it must be: style, size, font, and each control in tab order.
DIALOG = dict(style=WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER
              | DS_SETFONT | DS_3DLOOK, exstyle=0, rect=(0, 0, 241, 55), menu="", cls="", title="",
              font=(8, "MS Sans Serif"))
CONTROLS = [  # id, class, text, style, x, y, width, height
    (1004, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP, 59, 10, 152, 12),
    (1005, "BUTTON", "...", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_CENTER, 215, 10, 15, 12),
    (1, "BUTTON", "&Install", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_CENTER, 179, 35, 50, 14),
    (2, "BUTTON", "&Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 12, 35, 50, 14),
    (0xFFFF, "STATIC", "NSIS:", WS_CHILD | WS_VISIBLE, 37, 12, 19, 12),
    (1003, "STATIC", f"#{IDI_SETUP}", WS_CHILD | WS_VISIBLE | SS_ICON, 7, 5, 21, 20),
]


def resources(pe):
    """[(type, name, language, data)] from the resource directory, with its time stamps."""
    found, stamps = [], []
    top = getattr(pe.image, "DIRECTORY_ENTRY_RESOURCE", None)

    def walk(directory, path):
        stamps.append(directory.struct.TimeDateStamp)
        for entry in directory.entries:
            key = f"name@{entry.name}" if entry.name is not None else entry.id
            if hasattr(entry, "directory"):
                walk(entry.directory, path + [key])
            else:
                o = pe.offset(entry.data.struct.OffsetToData)
                found.append((*path, key, pe.data[o:o + entry.data.struct.Size]))

    if top:
        walk(top, [])
    return found, stamps


def sz_or_ord(data, o):
    """A name-or-ordinal field of a dialog template: (text, next offset); an ordinal reads #N."""
    first = struct.unpack_from("<H", data, o)[0]
    if first == 0xFFFF:
        return f"#{struct.unpack_from('<H', data, o + 2)[0]}", o + 4
    end = o
    while struct.unpack_from("<H", data, end)[0]:
        end += 2
    return data[o:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    menu, o = sz_or_ord(data, 18)
    cls, o = sz_or_ord(data, o)
    title, o = sz_or_ord(data, o)
    font = None
    if style & DS_SETFONT:
        size = struct.unpack_from("<H", data, o)[0]
        face, o = sz_or_ord(data, o + 2)
        font = (size, face)
    dialog = dict(style=style, exstyle=exstyle, rect=(x, y, cx, cy), menu=menu, cls=cls, title=title, font=font)
    controls = []
    for _ in range(count):
        o = (o + 3) & ~3
        cstyle, cexstyle, x, y, cx, cy, cid = struct.unpack_from("<IIhhhhH", data, o)
        ccls, o = sz_or_ord(data, o + 18)
        ccls = CLASS_ORDINALS.get(int(ccls[1:]), ccls) if ccls.startswith("#") else ccls.upper()
        text, o = sz_or_ord(data, o)
        extra = struct.unpack_from("<H", data, o)[0]
        o += 2 + extra
        if cexstyle:
            controls.append(("extended style", cexstyle))
        controls.append((cid, ccls, text, cstyle, x, y, cx, cy))
    return dialog, controls


def check_resources(pe, problems):
    found, stamps = resources(pe)
    if any(stamps):
        problems.append(f"resource directory time stamps {stamps}: the build is not reproducible")
    kinds = sorted((t, n, lang) for t, n, lang, _ in found)
    icons = [(n, d) for t, n, lang, d in found if t == RT_ICON]
    expected = sorted([(RT_GROUP_ICON, IDI_SETUP, EN_US), (RT_DIALOG, IDD_SETUP, EN_US)]
                      + [(RT_ICON, n, EN_US) for n, _ in icons])
    if kinds != expected or len(icons) != 2:
        problems.append(f"resources {kinds}: expected the dialog, the icon group and two icons, "
                        "all English (United States)")
    sizes = []
    for n, d in icons:
        _, w, h, _, bits = struct.unpack_from("<IiiHH", d, 0)
        sizes.append((w, h // 2, bits))
    if sorted(sizes) != [(16, 16, 4), (32, 32, 4)]:
        problems.append(f"icon images {sizes}: expected 16 x 16 and 32 x 32 at 4 bits a pixel")
    for t, n, _, d in found:
        if t == RT_GROUP_ICON:
            count = struct.unpack_from("<H", d, 4)[0]
            members = sorted(struct.unpack_from("<H", d, 6 + 14 * i + 12)[0] for i in range(count))
            if members != sorted(n for n, _ in icons):
                problems.append(f"icon group lists {members}, the icons are {sorted(n for n, _ in icons)}")
        if t == RT_DIALOG:
            if struct.unpack_from("<HH", d, 0) == (1, 0xFFFF):
                problems.append("the dialog template is the extended form")
                continue
            dialog, controls = parse_dialog(d)
            for field, value in DIALOG.items():
                if dialog[field] != value:
                    problems.append(f"dialog {field} is {dialog[field]!r}, expected {value!r}")
            if controls != CONTROLS:
                problems.append("dialog controls differ:\n  " + "\n  ".join(
                    f"{got!r}  expected {want!r}" for got, want in zip(controls + [None] * 6, CONTROLS + [None] * 6)
                    if got != want))


# What a binary scanner asks of an installer: loadable at any address (with the relocations that
# takes), data never executed, no exception handlers, terminal-server aware.
HARDENING = {0x40: "DYNAMIC_BASE", 0x100: "NX_COMPAT", 0x400: "NO_SEH", 0x8000: "TERMINAL_SERVER_AWARE"}


def check_hardening(pe, problems):
    missing = [name for flag, name in HARDENING.items() if not pe.dll_characteristics & flag]
    if missing:
        problems.append(f"DllCharacteristics {pe.dll_characteristics:#06x} lacks {', '.join(missing)}")
    rva, size = pe.dirs[5]
    if not rva or not size:
        problems.append("no base relocations: the program cannot be loaded at another address")
    elif struct.unpack_from("<II", pe.data, pe.offset(rva))[1] <= 8:
        problems.append("the base relocation directory holds no relocation")


def align(value, alignment):
    return -(-value // alignment) * alignment


def check_layout(pe, problems):
    """The headers and sections as Windows's loader demands them, which Wine's is lenient about."""
    header = pe.image.OPTIONAL_HEADER
    section_alignment, file_alignment = header.SectionAlignment, header.FileAlignment
    image_size, headers_size, checksum = header.SizeOfImage, header.SizeOfHeaders, header.CheckSum
    headers_end = pe.headers_end
    raw = [(ptr, size, name) for name, _, _, size, ptr in pe.sections if size]
    if headers_size != align(headers_end, file_alignment) or raw and headers_size > min(raw)[0]:
        problems.append(f"SizeOfHeaders {headers_size:#x}: the headers end at {headers_end:#x}, "
                        f"FileAlignment {file_alignment:#x}, first section at {min(raw)[0]:#x}")
    va_next = align(headers_size, section_alignment)
    raw_next = headers_size
    for name, vsize, va, rawsize, rawptr in pe.sections:
        if va != va_next:
            problems.append(f"section {name} at {va:#x}, expected at {va_next:#x}: out of order or overlapping")
        if rawsize and (rawptr < raw_next or rawptr % file_alignment or rawsize % file_alignment):
            problems.append(f"section {name}'s data at {rawptr:#x}+{rawsize:#x} overlaps or is not aligned")
        va_next = align(va + max(vsize, rawsize), section_alignment)
        raw_next = rawptr + rawsize if rawsize else raw_next
    if image_size != va_next:
        problems.append(f"SizeOfImage {image_size:#x}, expected {va_next:#x}")
    if raw_next > len(pe.data):
        problems.append(f"the sections run to {raw_next:#x}, past the end of the file")
    if checksum != pe.image.generate_checksum():
        problems.append(f"image checksum {checksum:#x}, expected {pe.image.generate_checksum():#x}")


def check_entry(pe, map_path, problems):
    """The entry point must be WinMainEntry itself: no runtime start-up runs before it."""
    text = open(map_path).read()
    found = re.search(r"^\s+0x([0-9a-f]+)\s+_?WinMainEntry\s*$", text, re.M)
    if not found:
        problems.append(f"{map_path} does not place WinMainEntry")
    elif int(found.group(1), 16) != pe.image_base + pe.entry:
        problems.append(f"entry point {pe.image_base + pe.entry:#x} is not WinMainEntry at {found.group(1)}")


def main(argv):
    args = dict(zip(argv[2::2], argv[3::2]))
    path, machine = argv[1], args["--machine"]
    pe = Pe(path)
    problems = []
    if pe.machine != MACHINES[machine]:
        problems.append(f"machine {pe.machine:#x}, expected {machine}")
    if pe.subsystem != 2:
        problems.append(f"subsystem {pe.subsystem}, expected 2 (Windows GUI)")
    if pe.timestamp:
        problems.append(f"header time stamp {pe.timestamp:#x}: the build is not reproducible")
    check_entry(pe, args["--map"], problems)
    check_hardening(pe, problems)
    check_layout(pe, problems)
    check_imports(pe, problems)
    check_resources(pe, problems)
    print(f"{path}: {len(pe.data)} bytes")
    if "--max-size" in args and len(pe.data) > int(args["--max-size"]):
        problems.append(f"{len(pe.data)} bytes, more than {args['--max-size']}")
    for dll, names in sorted(pe.imports().items()):
        print(f"{dll}: {' '.join(sorted(names))}")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
