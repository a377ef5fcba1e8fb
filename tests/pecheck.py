#!/usr/bin/env python3
"""Checks a built Windows program as a file: machine, subsystem and what it imports.

Usage: pecheck.py EXE [--machine i386|amd64]
"""
import struct
import sys

MACHINES = {"i386": 0x14C, "amd64": 0x8664}
SYSTEM_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "SHELL32.DLL"}


class Pe:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        d = self.data
        if d[:2] != b"MZ":
            raise SystemExit(f"{path}: not an MZ file")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: no PE signature")
        (self.machine, self.nsections, self.timestamp, _, _, self.optsize,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.opt)[0]
        self.pe32plus = self.magic == 0x20B
        self.entry = struct.unpack_from("<I", d, self.opt + 16)[0]
        self.image_base = (struct.unpack_from("<Q", d, self.opt + 24)[0] if self.pe32plus
                           else struct.unpack_from("<I", d, self.opt + 28)[0])
        self.subsystem = struct.unpack_from("<H", d, self.opt + 68)[0]
        dirs = self.opt + (112 if self.pe32plus else 96)
        self.ndirs = struct.unpack_from("<I", d, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(self.ndirs)]
        self.sections = []
        s = self.opt + self.optsize
        for i in range(self.nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, s + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vsize, va, rawsize, rawptr))

    def offset(self, rva):
        for _, vsize, va, rawsize, rawptr in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return rawptr + rva - va
        raise ValueError(f"RVA {rva:#x} is in no section")

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("latin-1")

    def imports(self):
        """{dll: [function names]} from the import directory."""
        rva, _ = self.dirs[1]
        result = {}
        o = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, o)
            if not name:
                return result
            names = []
            t = self.offset(lookup or thunks)
            size, fmt, flag = (8, "<Q", 1 << 63) if self.pe32plus else (4, "<I", 1 << 31)
            while True:
                entry = struct.unpack_from(fmt, self.data, t)[0]
                if not entry:
                    break
                names.append(f"#{entry & 0xFFFF}" if entry & flag else self.cstring((entry & 0x7FFFFFFF) + 2))
                t += size
            result[self.cstring(name).upper()] = names
            o += 20


def check_imports(pe, problems):
    for dll, names in pe.imports().items():
        if dll not in SYSTEM_DLLS:
            problems.append(f"imports from {dll}: {names}")
        for n in names:
            # A wide function ends in W after a lower-case letter or digit (GetWindowTextW, not ...ALLOW).
            if n.startswith("#") or (n.endswith("W") and len(n) > 1 and (n[-2].islower() or n[-2].isdigit())):
                problems.append(f"imports {dll}!{n}: only named ANSI or neutral functions are allowed")


def main(argv):
    path = argv[1]
    machine = argv[argv.index("--machine") + 1] if "--machine" in argv else "i386"
    pe = Pe(path)
    problems = []
    if pe.machine != MACHINES[machine]:
        problems.append(f"machine {pe.machine:#x}, expected {machine}")
    if pe.subsystem != 2:
        problems.append(f"subsystem {pe.subsystem}, expected 2 (Windows GUI)")
    check_imports(pe, problems)
    for dll, names in sorted(pe.imports().items()):
        print(f"{dll}: {' '.join(sorted(names))}")
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
