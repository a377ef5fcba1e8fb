#!/usr/bin/python3
"""What the release test does as someone who can replace the download, and its time-stamp service.

Usage: tamper.py seal DIR                 the release in DIR (zip, build record, SHA256SUMS and the
                                          unpacked Tavrin-VERSION/) made whole again after its files
                                          were changed: zipped as the release zips, the record's and
                                          SHA256SUMS's sums rewritten to match
       tamper.py resum DIR                only the sums rewritten, for the record as it now is
       tamper.py zip ATTACK DIR           the zip in DIR rewritten so (attack_zip), its sums to match
       tamper.py pad FILE                 a payload hidden in FILE's certificate table, after its
                                          signature, with the headers and checksum to match
       tamper.py tsa CONFIG...            an RFC 3161 service on a free port, which it prints; the
                                          path /N of a query picks the Nth openssl ts configuration
"""
import glob
import http.server
import os
import re
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import release_artifact as artifact  # noqa: E402

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "core", "package.h")


def release(folder):
    """(top, zip path, record path, SHA256SUMS path) of the release in folder."""
    zip_path = glob.glob(os.path.join(folder, "Tavrin-*.zip"))[0]
    top = os.path.basename(zip_path)[:-4]
    return top, zip_path, os.path.join(folder, f"{top}.buildinfo"), os.path.join(folder, "SHA256SUMS")


def resum(folder, contents):
    """The record and SHA256SUMS rewritten for the zip and contents as they now are."""
    top, zip_path, record_path, sums_path = release(folder)
    zip_sum = artifact.file_sha256(zip_path)
    files = artifact.release_files(HEADER)
    lines = []
    for line in open(record_path).read().splitlines():
        key, _, value = line.partition(": ")
        name = value.split(" ", 1)[-1]
        if key == "file-sha256" and name[len(top) + 1:] in contents:
            line = f"{key}: {artifact.sha256(contents[name[len(top) + 1:]])} {name}"
        elif key == "program-sums":
            line = f"{key}: " + " ".join(artifact.sha256(contents.get(f, b"")) for f in files[1:])
        elif key == "zip-sha256":
            line = f"{key}: {zip_sum}"
        lines.append(line)
    open(record_path, "w").write("\n".join(lines) + "\n")
    listing = [f"{zip_sum}  {top}.zip"] + [f"{artifact.sha256(data)}  {top}/{f}" for f, data in contents.items()]
    listing.append(f"{artifact.file_sha256(record_path)}  {top}.buildinfo")
    open(sums_path, "w").write("\n".join(listing) + "\n")


def unpacked(folder, top):
    files = artifact.release_files(HEADER)
    return {f: open(os.path.join(folder, top, f), "rb").read() for f in files if os.path.exists(os.path.join(folder, top, f))}


def epoch(record_path):
    return re.search(r"^source-date-epoch: (\d+)$", open(record_path).read(), re.M).group(1)


def seal(folder):
    top, zip_path, record_path, _ = release(folder)
    contents = unpacked(folder, top)
    open(zip_path, "wb").write(artifact.zip_bytes(top, artifact.release_files(HEADER), contents, epoch(record_path)))
    resum(folder, contents)


def write_zip(zip_path, top, contents, tweak, names):
    """The zip as the release writes it, of names, each entry passed through tweak(info, data)."""
    stamp = time.gmtime(int(epoch(os.path.join(os.path.dirname(zip_path), f"{top}.buildinfo"))))[:6]
    with zipfile.ZipFile(zip_path, "w") as archive:
        for name in names:
            info = zipfile.ZipInfo(name, stamp)
            info.create_system = 3
            info.external_attr = ((0o40755 << 16) | 0x10) if name.endswith("/") else 0o100644 << 16
            data = tweak(info, b"" if name.endswith("/") else contents.get(name[len(top) + 1:], b"MZ"))
            archive.writestr(info, data)


def retime(info, data):
    if info.filename.endswith("Tavrin.dll"):
        info.date_time = (2001, 1, 1, 0, 0, 0)
    return data


def extra(info, data):
    if info.filename.endswith("Tavrin.dll"):
        info.extra = b"\x75\x70\x0d\x00\x01" + b"\x00\x00\x00\x00" + b"Evil.dll"  # a Unicode path field
    return data


def deflated(info, data):
    info.compress_type = zipfile.ZIP_DEFLATED if data else zipfile.ZIP_STORED
    return data


def folder_data(info, data):
    return b"hidden" if info.filename.endswith("Plugin/") else data


def attack_zip(attack, folder):
    top, zip_path, _, _ = release(folder)
    contents = unpacked(folder, top)
    data = open(zip_path, "rb").read()
    if attack == "before":  # bytes before the first entry, as a self-extractor has
        data = b"MZ" + bytes(510) + data
    elif attack == "after":
        data += b"PK\x03\x04 and more"
    elif attack == "comment":
        data = data[:-2] + (9).to_bytes(2, "little") + b"a comment"
    elif attack == "names":  # the local header's name differs from the central directory's
        at = data.index(f"{top}/Plugin/Tavrin.dll".encode())
        data = data[:at] + f"{top}/Plugin/Tavrin.dlL".encode() + data[at + len(top) + 18:]
    else:
        names = artifact.layout(top, artifact.release_files(HEADER))
        if attack == "added":
            names.append(f"{top}/Plugin/Other.dll")
        if attack == "taken":
            names.remove(f"{top}/Readme.txt")
            del contents["Readme.txt"]
        write_zip(zip_path, top, contents, {"dated": retime, "extra": extra, "deflated": deflated,
                                            "folder": folder_data}.get(attack, lambda info, data: data), names)
        data = open(zip_path, "rb").read()
    open(zip_path, "wb").write(data)
    resum(folder, contents)


class TimeStamps(http.server.BaseHTTPRequestHandler):
    configs = []

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        config = self.configs[int(self.path.strip("/") or 0)]
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                                         "-out", "/dev/stdout"], input=query, capture_output=True).stdout)

    def log_message(self, *args):
        pass


def pad(path):
    import pefile
    image = pefile.PE(path)
    directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    payload = b"MZ hidden payload".ljust(24, b"\0")
    image.set_dword_at_offset(directory.VirtualAddress, image.get_dword_from_offset(directory.VirtualAddress) + len(payload))
    directory.Size += len(payload)
    data = bytearray(image.write() + payload)
    image = pefile.PE(data=bytes(data))
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    open(path, "wb").write(image.write())


def main(argv):
    if argv[1] == "seal":
        seal(argv[2])
    elif argv[1] == "resum":
        top = release(argv[2])[0]
        resum(argv[2], unpacked(argv[2], top))
    elif argv[1] == "pad":
        pad(argv[2])
    elif argv[1] == "zip":
        attack_zip(argv[2], argv[3])
    elif argv[1] == "tsa":
        TimeStamps.configs = argv[2:]
        server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
        print(server.server_port, flush=True)
        server.serve_forever()
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
