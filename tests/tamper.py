#!/usr/bin/python3
"""What the release test does as someone who can replace the download, and its time-stamp service.

Usage: tamper.py seal DIR         the release in DIR (zip, build record, SHA256SUMS, and the zip
                                  unpacked) whole again after its files changed: zipped as the
                                  release zips, the sums in the record and SHA256SUMS to match
       tamper.py resum DIR        only the sums rewritten, for the record as it now is
       tamper.py zip ATTACK DIR   the zip rewritten as ATTACKS, REZIPS or RAW says, the sums to match
       tamper.py forge DIR CERT KIND  SHA256SUMS.p7s forged, in the name of CERT's author
       tamper.py pad FILE         a payload hidden in FILE's certificate table, after the signature
       tamper.py header FILE FIELD VALUE  a field of FILE's optional header set
       tamper.py tsa CONFIG...    an RFC 3161 service on a free port, which it prints; a query to
                                  /N is answered with the Nth openssl ts configuration
"""
import collections
import glob
import http.server
import os
import re
import struct
import subprocess
import sys
import zipfile
import zlib

from asn1crypto import cms, x509 as asn1
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.serialization import Encoding, pkcs7

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import release_artifact as artifact  # noqa: E402
DER = Encoding.DER

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


def raw(folder, change):
    """The zip written byte by byte, as no zip library would: the release's entries (name, method,
    size, data) through change, each entry saying the size given, whatever its data."""
    top, zip_path, _, _, contents = release(folder)
    entries = change([(n, 0, len(d), d) for n in LAYOUT(top, FILES) for d in [contents.get(n[len(top) + 1:], b"")]])
    local, central, at = [], [], 0
    for name, method, size, data in entries:
        common = struct.pack("<HHHHIIIHH", 0, method, 0, 0x21, zlib.crc32(data), len(data) if method else size, size,
                             len(name), 0)
        local.append(b"PK\3\4\x14\0" + common + name.encode() + data)
        central.append(b"PK\1\2\x14\0\x14\0" + common + struct.pack("<HHHII", 0, 0, 0, 0, at) + name.encode())
        at += len(local[-1])
    count, directory = min(len(entries), 0xFFFF), b"".join(central)
    end = b"PK\5\6" + struct.pack("<HHHHIIH", 0, 0, count, count, len(directory), at, 0)
    open(zip_path, "wb").write(b"".join(local) + directory + end)


def bomb(entries):
    """The readme deflated from a GiB of zeros, in a MiB."""
    squeeze = zlib.compressobj(9, zlib.DEFLATED, -15)
    mib = squeeze.compress(bytes(1 << 20)) + squeeze.flush(zlib.Z_FULL_FLUSH)
    return [(n, 8, 1 << 30, mib * 1024 + squeeze.flush()) if n.endswith("Readme.txt") else e for e in entries for n in e[:1]]


RAW = {
    "bomb": bomb,
    # stored, but saying it is a GiB
    "lying": lambda entries: [(e[0], 0, 1 << 30, e[3]) if e[0].endswith("Readme.txt") else e for e in entries],
    "many": lambda entries: entries + [(f"{entries[0][0]}{i}", 0, 0, b"") for i in range(100000)],
}


def forge(folder, author_pem, kind):
    """SHA256SUMS.p7s signed by a key of the attacker's, its certificate with the author's serial number and
    an issuer that reads as the author's CA's to RFC 4518, not in its bytes (a soft hyphen, a fullwidth letter);
    or (case) the CA's own, and listed first for OpenSSL, which reads names alike by case, its look-alike."""
    author = x509.load_pem_x509_certificate(open(author_pem, "rb").read())
    ca = author.issuer.rfc4514_string()[3:]
    name = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, {"invisible": ca.replace(" ", " \u00ad", 1),
                                         "fullwidth": chr(ord(ca[0]) + 0xFEE0) + ca[1:], "case": ca.upper()}[kind])])
    key = ec.generate_private_key(ec.SECP256R1())
    forged = x509.CertificateBuilder(name, author.issuer if kind == "case" else name, key.public_key(), author.serial_number,
                                     author.not_valid_before, author.not_valid_after).sign(key, hashes.SHA256())
    sums = os.path.join(folder, "SHA256SUMS")
    signed = cms.ContentInfo.load(pkcs7.PKCS7SignatureBuilder().set_data(open(sums, "rb").read()).add_signer(
        forged, key, hashes.SHA256()).sign(DER, [pkcs7.PKCS7Options.DetachedSignature, pkcs7.PKCS7Options.Binary]))
    ders = [c.public_bytes(DER) for c in ((forged, author) if kind == "case" else (author, forged))]
    if kind == "case":
        signed["content"]["signer_infos"][0]["sid"] = cms.SignerIdentifier("issuer_and_serial_number", {
            "issuer": asn1.Certificate.load(ders[1]).issuer, "serial_number": author.serial_number})
    signed["content"]["certificates"] = [asn1.Certificate.load(der) for der in ders]
    # in this order, not the one DER sorts a set into
    open(sums + ".p7s", "wb").write(signed.dump().replace(ders[1] + ders[0], ders[0] + ders[1]))


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


def header(path, field, value):
    import pefile
    image = pefile.PE(path)
    setattr(image.OPTIONAL_HEADER, field, int(value))
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
    elif command == "zip" and args[0] in RAW:
        raw(args[1], RAW[args[0]])
    elif command == "zip":
        rezip(args[1], **REZIPS[args[0]])
    elif command == "forge":
        return forge(*args)
    elif command == "pad":
        return pad(args[0])
    elif command == "header":
        return header(*args)
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
