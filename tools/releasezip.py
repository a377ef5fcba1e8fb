#!/usr/bin/env python3
"""Writes the release zip: one top folder, the setup program beside the package's files laid out
as the program reads them, and nothing else. The same inputs give the same bytes: entries in name
order, every time the given one, fixed permissions, no extra fields, one compression level.

Usage: releasezip.py OUT.zip TOP_FOLDER PROGRAM PACKAGE_DIR PACKAGE_H EPOCH
The package's files are those the program's own table (PACKAGE_H) reads beside it.
       releasezip.py --files PACKAGE_H     prints those files' paths, one a line
       releasezip.py --is-pe FILE          exits 0 when FILE is a Windows program or library
       releasezip.py --is-signed FILE      exits 0 when FILE is one that carries a signature
"""
import struct
import os
import re
import sys
import time
import zipfile


def package_files(header):
    """Each file's path beside the setup program, in the table's order, once each."""
    text = open(header, encoding="ascii").read()
    files = []
    for folder, name in re.findall(r'\{\s*(0|"[^"]*")\s*,\s*"([^"]+)"', text):
        # "%s\\Example" applied to the setup folder; 0, the setup folder itself
        folder = "" if folder == "0" else folder.strip('"').replace("%s", "").replace("\\\\", "/").strip("/")
        path = f"{folder}/{name}" if folder else name
        if path not in files:
            files.append(path)
    if not files:
        sys.exit(f"release: no package table in {header}")
    return files


def layout(top, files):
    """Every entry of the zip in name order: the program and the files under top, and each
    folder that holds one (a folder's name ends in /)."""
    names = {f"{top}/{f}" for f in files + ["TavrinSetup.exe"]}
    return sorted(names | {os.path.dirname(name) + "/" for name in names})


def pe_headers(path):
    """The offset of a Windows program's PE headers in its first block, or None for another file."""
    with open(path, "rb") as f:
        data = f.read(4096)
    if data[:2] != b"MZ" or len(data) < 64:
        return None, data
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return (pe if data[pe:pe + 4] == b"PE\0\0" else None), data


def is_signed(path):
    """Whether its certificate table, where an Authenticode signature lies, is there at all."""
    pe, data = pe_headers(path)
    if pe is None:
        return False
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    return struct.unpack_from("<II", data, directories + 4 * 8)[1] != 0


def main():
    if sys.argv[1] == "--files":
        print("\n".join(package_files(sys.argv[2])))
        return
    if sys.argv[1] == "--is-pe":
        sys.exit(0 if pe_headers(sys.argv[2])[0] is not None else 1)
    if sys.argv[1] == "--is-signed":
        sys.exit(0 if is_signed(sys.argv[2]) else 1)
    out, top, program, package, header, epoch = sys.argv[1:]
    files = package_files(header)
    missing = [f for f in files if not os.path.isfile(os.path.join(package, f))]
    if missing:
        sys.exit(f"release: the package in {package} lacks {', '.join(missing)}")
    sources = {f"{top}/TavrinSetup.exe": program}
    sources.update({f"{top}/{f}": os.path.join(package, f) for f in files})
    # Zip times are local times from 1980 on, with no zone: the epoch's UTC fields stand in.
    stamp = time.gmtime(max(int(epoch), 315532800))[:6]
    with zipfile.ZipFile(out, "w") as archive:
        for name in layout(top, files):
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3  # the permissions below are Unix modes
            if name.endswith("/"):
                entry.external_attr = (0o40755 << 16) | 0x10  # a folder, for Windows too
                archive.writestr(entry, b"")
            else:
                entry.external_attr = 0o100644 << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                with open(sources[name], "rb") as f:
                    archive.writestr(entry, f.read(), compresslevel=9)


if __name__ == "__main__":
    main()
