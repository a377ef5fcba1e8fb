#!/usr/bin/env python3
"""The release as users download it, described once for the maker (tools/release.sh) and the
checker (tools/verify_release.py): the package's files as the program's own table names them, the
zip's entries and bytes, the build record beside it and its sums, and the sums a release's program
carries. The same inputs give the same bytes: entries in name order, stored, every time the
given one, fixed permissions, no extra fields, no comment.

Usage: release_artifact.py --files PACKAGE_H        the package's files, one a line, table order
       release_artifact.py --is-pe FILE             exits 0 when FILE is a Windows program or library
       release_artifact.py --is-signed FILE         exits 0 when FILE is one with a certificate table
       release_artifact.py --sums-source PACKAGE_H PACKAGE_DIR OUT.cpp
                                                    the program's source of its package's sums
       release_artifact.py --zip OUT.zip STAGE PACKAGE_H EPOCH
                                                    the zip of STAGE, the folder Tavrin-VERSION
       release_artifact.py --record OUT PACKAGE_H VERSION COMMIT SOURCES EPOCH PACKAGE STAGE UNSIGNED ZIP
                                                    the build record; UNSIGNED holds each file of
                                                    STAGE as it was before it was signed
       release_artifact.py --toolchain              what builds and packs a release, a line each
       release_artifact.py --version-ok VERSION     exits 0 when VERSION can be a release's
"""
import hashlib
import io
import os
import platform
import re
import subprocess
import sys
import time
import zipfile

PROGRAM = "TavrinSetup.exe"
# Zip times are local times from 1980 on, with no zone: the epoch's UTC fields stand in.
ZIP_EPOCH_MIN = 315532800
# The record's lines: KEY: VALUE, those marked many once a file, the others once each.
RECORD_KEYS = ("version", "commit", "sources", "source-date-epoch", "package", "toolchain",
               "program-sums", "file-sha256", "unsigned-sha256", "zip-sha256")
RECORD_MANY = ("toolchain", "file-sha256", "unsigned-sha256")
BUILT_PACKAGE = "built from this repository at the commit"
GIVEN_PACKAGE = "given"
# A version every system and every unzip can hold in a file name, and no git revision can name
# otherwise ("1.0~1"): letters and digits, with . _ + - between them.
VERSION = r"[A-Za-z0-9]([A-Za-z0-9._+-]*[A-Za-z0-9])?"
HEX = r"[0-9a-f]{64}"


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


def release_files(header):
    """The program, then the package's files: every file of a release."""
    return [PROGRAM] + package_files(header)


def layout(top, files):
    """Every entry of the zip in name order: the program and the files under top, and each
    folder that holds one (a folder's name ends in /)."""
    names = {f"{top}/{f}" for f in files + [PROGRAM]}
    return sorted(names | {os.path.dirname(name) + "/" for name in names})


def zip_bytes(top, files, contents, epoch):
    """The release's zip: contents maps each file of files (relative to top) to its bytes."""
    stamp = time.gmtime(max(int(epoch), ZIP_EPOCH_MIN))[:6]
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for name in layout(top, files):
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3  # the permissions below are Unix modes
            if name.endswith("/"):
                entry.external_attr = (0o40755 << 16) | 0x10  # a folder, for Windows too
                archive.writestr(entry, b"")
            else:
                entry.external_attr = 0o100644 << 16
                archive.writestr(entry, contents[name[len(top) + 1:]])
    return out.getvalue()


def zip_regions(data):
    """[(offset, what)] of a zip this module wrote: where each header, file and directory starts."""
    archive = zipfile.ZipFile(io.BytesIO(data))
    regions = []
    for info in archive.infolist():
        header = info.header_offset
        data_start = header + 30 + len(info.filename.encode()) + len(info.extra)
        regions += [(header, f"the local header of {info.filename}"), (data_start, f"the bytes of {info.filename}")]
    end = data.rfind(b"PK\5\6")
    directory = int.from_bytes(data[end + 16:end + 20], "little")
    regions += [(directory, "the central directory"), (end, "the end of the central directory")]
    return sorted(regions)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def file_sha256(path):
    with open(path, "rb") as f:
        return sha256(f.read())


def sums_source(header, package):
    """The program's source file that holds the SHA-256 of each of the package's files."""
    lines = ["// Made by tools/release_artifact.py: the SHA-256 of each file of the released package,",
             "// in the order the package table first names them.",
             '#include "core.h"', "", "extern const FileSum ReleasedSums[] = {"]
    for f in package_files(header):
        digest = bytes.fromhex(file_sha256(os.path.join(package, f)))
        lines.append("    { " + ", ".join(f"0x{b:02x}" for b in digest) + " }, // " + f)
    return "\n".join(lines + ["};", ""])


def toolchain():
    """What builds and packs a release, "NAME VERSION" each: the record a rebuild is held to."""
    lines = []
    for package in ("g++-mingw-w64-i686-posix", "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "cmake",
                    "osslsigncode"):
        found = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
        lines.append(f"{package} {found.stdout.strip() if found.returncode == 0 else 'none'}")
    return lines + [f"python3 {platform.python_version()}"]


def write_record(out, version, commit, sources, epoch, package, stage, unsigned, zip_path, header):
    top = f"Tavrin-{version}"
    files = release_files(header)
    lines = [f"version: {version}", f"commit: {commit}", f"sources: {sources}", f"source-date-epoch: {epoch}",
             f"package: {package}"]
    lines += [f"toolchain: {t}" for t in toolchain()]
    # what the program carries: the sums of the package's files as shipped
    lines.append("program-sums: " + " ".join(file_sha256(os.path.join(stage, f)) for f in files[1:]))
    for f in files:
        shipped, before = file_sha256(os.path.join(stage, f)), file_sha256(os.path.join(unsigned, f))
        lines.append(f"file-sha256: {shipped} {top}/{f}")
        if before != shipped:
            lines.append(f"unsigned-sha256: {before} {top}/{f}")
    lines.append(f"zip-sha256: {file_sha256(zip_path)}")
    with open(out, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


def read_record(text, top, files):
    """{key: value} of the build record (its bytes) of the release top with files, {key: [values]}
    for the keys of many lines. Raises ValueError naming the first line that is not what a record
    holds."""
    if re.search(rb"[^\x20-\x7e\n]", text) or not text.endswith(b"\n"):
        raise ValueError("it holds characters other than lines of printable ASCII")
    names = "|".join(re.escape(f"{top}/{f}") for f in files)
    forms = {"version": (VERSION, "a version"), "commit": ("[0-9a-f]{40}", "a full commit hash"),
             "sources": ("as committed|changed since the commit", "said of the sources"),
             "source-date-epoch": ("[0-9]{1,12}", "seconds since 1970"),
             "package": (f"{BUILT_PACKAGE}|{GIVEN_PACKAGE}", "where a package comes from"),
             "toolchain": (r"[\w.+~:-]+ [\w.+~:-]+", "a tool and its version"),
             "program-sums": (f"{HEX}( {HEX}){{{len(files) - 2}}}", "the sums of the package's files"),
             "file-sha256": (f"{HEX} ({names})", "a sum and a file of the release"),
             "unsigned-sha256": (f"{HEX} ({names})", "a sum and a file of the release"),
             "zip-sha256": (HEX, "a sum")}
    record = {key: [] for key in RECORD_MANY}
    for number, line in enumerate(text.decode("ascii").split("\n")[:-1], 1):
        key, _, value = line.partition(": ")
        if key not in forms:
            raise ValueError(f"line {number} is not a line of a build record: {line[:60]!r}")
        if not re.fullmatch(forms[key][0], value):
            raise ValueError(f"{key}: {value[:60]!r} is not {forms[key][1]}")
        if key in RECORD_MANY:
            record[key].append(value)
        elif key in record:
            raise ValueError(f"line {number}: a second {key}")
        else:
            record[key] = value
    missing = [key for key in RECORD_KEYS if key not in record]
    listed = [line.split(" ", 1)[1] for line in record["file-sha256"]]
    once = [line.split(" ", 1)[1] for line in record["unsigned-sha256"]]
    if missing or sorted(listed) != sorted(f"{top}/{f}" for f in files) or len(set(once)) != len(once):
        raise ValueError("no " + ", no ".join(missing) if missing else "not every file has one sum of each kind")
    return record


def read_sums(text):
    """{name: sum} of a SHA256SUMS file's bytes as sha256sum writes them. Raises ValueError on a
    line that is not one, or a name listed twice."""
    sums = {}
    # a carriage return would end a line for some readers and not for others
    if re.search(rb"[\x00-\x09\x0b-\x1f\x7f]", text) or not text.endswith(b"\n"):
        raise ValueError("it holds characters other than lines of text")
    for number, line in enumerate(text.decode("utf-8").split("\n")[:-1], 1):
        found = re.fullmatch(f"({HEX}) [ *](.+)", line)
        if not found or found.group(2) in sums:
            raise ValueError(f"line {number} is not the sum of a file listed once")
        sums[found.group(2)] = found.group(1)
    return sums


def pe_image(data):
    """The pefile view of a Windows program or library's bytes, or None for another file."""
    import pefile  # only the release's and the checker's Python need it, not the build's
    try:
        return pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        return None


def certificate_table(image):
    """(offset, size) of the certificate table, where an Authenticode signature lies, or None,
    also where the header's data directory is too short to hold its entry."""
    import pefile
    index = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
    if len(image.OPTIONAL_HEADER.DATA_DIRECTORY) <= index:
        return None
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[index]
    return (entry.VirtualAddress, entry.Size) if entry.VirtualAddress or entry.Size else None


def main(argv):
    command = argv[1] if len(argv) > 1 else ""
    if command == "--files":
        print("\n".join(package_files(argv[2])))
    elif command in ("--is-pe", "--is-signed"):
        image = pe_image(open(argv[2], "rb").read())
        return 0 if image and (command == "--is-pe" or certificate_table(image)) else 1
    elif command == "--sums-source":
        header, package, out = argv[2:]
        text = sums_source(header, package)
        # written only when it changes, so that a build with the same package compiles nothing
        if not os.path.exists(out) or open(out).read() != text:
            with open(out, "w") as f:
                f.write(text)
    elif command == "--zip":
        out, stage, header, epoch = argv[2:]
        files = release_files(header)
        missing = [f for f in files if not os.path.isfile(os.path.join(stage, f))]
        if missing:
            sys.exit(f"release: {stage} lacks {', '.join(missing)}")
        contents = {f: open(os.path.join(stage, f), "rb").read() for f in files}
        with open(out, "wb") as f:
            f.write(zip_bytes(os.path.basename(stage), files, contents, epoch))
    elif command == "--record":
        out, header, version, commit, sources, epoch, package, stage, unsigned, zip_path = argv[2:]
        write_record(out, version, commit, sources, epoch, package, stage, unsigned, zip_path, header)
    elif command == "--toolchain":
        print("\n".join(toolchain()))
    elif command == "--version-ok":
        return 0 if re.fullmatch(VERSION, argv[2]) else 1
    else:
        sys.exit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
