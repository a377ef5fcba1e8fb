#!/usr/bin/python3
"""What the release test does as someone who can replace the download, and its time-stamp service.

Usage: tamper.py seal DIR         the release in DIR (zip, build record, SHA256SUMS, and the zip
                                  unpacked) whole again after its files changed: zipped as the
                                  release zips, the sums in the record and SHA256SUMS to match
       tamper.py resum DIR        only the sums rewritten, for the record as it now is
       tamper.py zip ATTACK DIR   the zip rewritten as ATTACKS says, the sums to match
       tamper.py pad FILE         a payload hidden in FILE's certificate table, after the signature
       tamper.py tsa CONFIG...    an RFC 3161 service on a free port, which it prints; a query to
                                  /N is answered with the Nth openssl ts configuration
"""
import collections
import glob
import http.server
import os
import re
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import release_artifact as artifact  # noqa: E402

LAYOUT = artifact.layout
FILES = artifact.release_files(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "core", "package.h"))


def release(folder):
    """(top, zip, record, SHA256SUMS, {file: bytes} as unpacked) of the release in folder."""
    zip_path = glob.glob(os.path.join(folder, "Tavrin-*.zip"))[0]
    top = os.path.basename(zip_path)[:-4]
    contents = {f: open(os.path.join(folder, top, f), "rb").read() for f in FILES if os.path.exists(os.path.join(folder, top, f))}
    return top, zip_path, os.path.join(folder, f"{top}.buildinfo"), os.path.join(folder, "SHA256SUMS"), contents


def resum(folder):
    top, zip_path, record, sums, contents = release(folder)
    digest = {f"{top}/{f}": artifact.sha256(data) for f, data in contents.items()}
    zip_sum = artifact.file_sha256(zip_path)
    text = re.sub(r"^file-sha256: \w+ (.+)$", lambda m: f"file-sha256: {digest.get(m[1], 'gone')} {m[1]}",
                  open(record).read(), flags=re.M)
    text = re.sub(r"^program-sums: .*$", "program-sums: " + " ".join(artifact.sha256(contents.get(f, b"")) for f in FILES[1:]),
                  text, flags=re.M)
    open(record, "w").write(re.sub(r"^zip-sha256: .*$", f"zip-sha256: {zip_sum}", text, flags=re.M))
    listing = [f"{zip_sum}  {top}.zip"] + [f"{s}  {name}" for name, s in digest.items()]
    open(sums, "w").write("\n".join(listing + [f"{artifact.file_sha256(record)}  {top}.buildinfo", ""]))


def rezip(folder, layout=LAYOUT, tweak=lambda info, data: data):
    """The zip made again as the release makes it, but of layout's entries, each through tweak."""
    top, zip_path, record, _, contents = release(folder)
    epoch = re.search(r"^source-date-epoch: (\d+)$", open(record).read(), re.M)[1]
    real_writestr = zipfile.ZipFile.writestr
    artifact.layout = layout
    zipfile.ZipFile.writestr = lambda archive, info, data, *rest: real_writestr(archive, info, tweak(info, data), *rest)
    try:
        data = artifact.zip_bytes(top, FILES, collections.defaultdict(lambda: b"MZ", contents), epoch)
    finally:
        artifact.layout, zipfile.ZipFile.writestr = LAYOUT, real_writestr
    open(zip_path, "wb").write(data)


def on_plugin(change):
    """A tweak that changes the plug-in's entry only."""
    def tweak(info, data):
        if info.filename.endswith("Tavrin.dll"):
            change(info)
        return data
    return tweak


# Each attack: the zip's bytes from the release's zip (and its top folder), or None to make it anew.
ATTACKS = {
    "before": lambda data, top: b"MZ" + bytes(510) + data,  # as a self-extractor's stub
    "after": lambda data, top: data + b"PK\3\4 and more",
    "comment": lambda data, top: data[:-2] + b"\x09\0a comment",
    # the local header's name not the central directory's
    "names": lambda data, top: data.replace(f"{top}/Plugin/Tavrin.dll".encode(), f"{top}/Plugin/Tavrin.dlL".encode(), 1),
}
REZIPS = {
    "dated": dict(tweak=on_plugin(lambda info: setattr(info, "date_time", (2001, 1, 1, 0, 0, 0)))),
    # the Info-ZIP Unicode path field, which names the entry otherwise for those who read it
    "extra": dict(tweak=on_plugin(lambda info: setattr(info, "extra", b"up\x0d\0\1\0\0\0\0Evil.dll"))),
    "deflated": dict(tweak=lambda info, data: (setattr(info, "compress_type", zipfile.ZIP_DEFLATED) if data else None) or data),
    "folder": dict(tweak=lambda info, data: b"hidden" if info.filename.endswith("Plugin/") else data),
    "added": dict(layout=lambda top, files: LAYOUT(top, files) + [f"{top}/Plugin/Other.dll"]),
    "taken": dict(layout=lambda top, files: [n for n in LAYOUT(top, files) if not n.endswith("Readme.txt")]),
}


def pad(path):
    import pefile
    image = pefile.PE(path)
    table = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    payload = b"MZ hidden payload".ljust(24, b"\0")
    image.set_dword_at_offset(table.VirtualAddress, image.get_dword_from_offset(table.VirtualAddress) + len(payload))
    table.Size += len(payload)
    image = pefile.PE(data=image.write() + payload)
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    image.write(path)


class TimeStamps(http.server.BaseHTTPRequestHandler):
    configs = []

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        answer = subprocess.run(["openssl", "ts", "-reply", "-config", self.configs[int(self.path.strip("/") or 0)],
                                 "-queryfile", "/dev/stdin", "-out", "/dev/stdout"], input=query, capture_output=True)
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(answer.stdout)

    def log_message(self, *args):
        pass


def main(command, *args):
    if command == "seal":
        rezip(args[0])
    elif command == "zip" and args[0] in ATTACKS:
        top, zip_path = release(args[1])[:2]
        data = ATTACKS[args[0]](open(zip_path, "rb").read(), top)
        open(zip_path, "wb").write(data)
    elif command == "zip":
        rezip(args[1], **REZIPS[args[0]])
    elif command == "pad":
        return pad(args[0])
    elif command == "tsa":
        TimeStamps.configs = args
        server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
        print(server.server_port, flush=True)
        return server.serve_forever()
    elif command != "resum":
        sys.exit(__doc__)
    resum(args[-1])


if __name__ == "__main__":
    main(*sys.argv[1:])
