#!/usr/bin/python3
"""Checks downloaded releases against the source they were built from and the author who signed them.
tools/verify-release.sh runs it, with what it needs installed.

Each check prints one verdict a download, "ok" or "FAIL", naming the files it looked at and what
differs, in a line of at most 400 characters:
  layout     one top folder, the program beside the package's files as the program reads them
  zip        the download byte for byte the zip the release makes of those files
  sums       SHA256SUMS holds for the zip, each file and the build record, and lists nothing else;
             where an author is pinned, the author signed it (SHA256SUMS.p7s)
  record     the build record names this version, a commit this repository has (its tag's, or the
             one named with --commit), the zip, each file, and the sums the program carries
  signature  every program and library signed once, by a pinned author, as Windows would accept it
             and stricter; all timestamped or none, by a service the roots trust
  rebuild    the program and the sample package, signatures removed, byte for byte what the
             recorded commit builds here, the program with the sums of the package as shipped
  package    a package given from outside: the one --package names, as shipped or unsigned
A check that could not be made fails, as does one that meets an error of its own, and the others
still run; the exit code is 0 only when every check of every download holds.

Nothing is read past its bound: the zip, SHA256SUMS, SHA256SUMS.p7s and the build record each a
regular file (no link, FIFO or device) of at most 64 MiB (the zip) or 1 MiB; of the zip, its
central directory first, which must list no more than twice the release's entries, each stored,
its size its data's, within the download. What the rebuild builds comes from this run alone: the
commit's files written from this repository's objects into a fresh folder, built there.
"""
import argparse
import collections
import datetime
import errno
import io
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile

from asn1crypto import cms, core, parser, tsp  # noqa: F401  tsp: the timestamp's content type
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization

import release_artifact as artifact

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADER = os.path.join(TOP, "core", "package.h")
SIGNERS = os.path.join(TOP, "tools", "release-signers")
# The unsigned attributes a signature may carry: its timestamp, in either form.
TIMESTAMPS = {"microsoft_time_stamp_token", "counter_signature"}
NO_PIN = ("but no author's fingerprint is known here: give the author's with --signer FINGERPRINT, or list it in "
          "tools/release-signers")
# What is read of a download at most: a release's zip is well under a MiB, its text files a few KiB.
ZIP_CAP, TEXT_CAP = 64 << 20, 1 << 20
# The longest verdict line: a longer one is cut, saying how much more there was.
LINE_CAP = 400
# What the sums' signature may be made with.
STRONG_DIGESTS = {"sha256", "sha384", "sha512"}
KINDS = {stat.S_IFDIR: "a folder", stat.S_IFIFO: "a FIFO", stat.S_IFCHR: "a character device",
         stat.S_IFBLK: "a block device", stat.S_IFSOCK: "a socket"}


class Problem(Exception):
    """What is wrong with one file, as the verdict says it."""


def stop(message):
    print(f"verify-release: {message}", file=sys.stderr)
    sys.exit(2)


def fingerprint_hex(text):
    """A SHA-256 fingerprint as openssl and PowerShell show it, with or without colons."""
    hex_digits = re.sub(r"[\s:]", "", text).lower()
    return hex_digits if re.fullmatch(r"[0-9a-f]{64}", hex_digits) else None


def printable(text):
    """text with what a terminal would act on (escapes, carriage returns) shown, not sent."""
    return re.sub(r"[\x00-\x1f\x7f-\x9f]", lambda c: f"\\x{ord(c[0]):02x}", text)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def read_bounded(path, cap):
    """The bytes of the regular file at path, no more than cap of them. Raises Problem before
    anything is read of a link (whatever it names), a FIFO, a device, or a larger file."""
    name = os.path.basename(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            found = os.fstat(fd)
            if not stat.S_ISREG(found.st_mode):
                raise Problem(f"{name} is {KINDS.get(stat.S_IFMT(found.st_mode), 'no regular file')}, not a file")
            with open(fd, "rb", closefd=False) as f:
                data = f.read(cap + 1) if found.st_size <= cap else b""
        finally:
            os.close(fd)
    except OSError as error:
        raise Problem(f"{name} is a symbolic link, not a file" if error.errno == errno.ELOOP
                      else f"{name} cannot be read: {error.strerror}")
    if found.st_size > cap or len(data) > cap:
        raise Problem(f"{name} is more than {cap >> 20} MiB, more than this verifier reads of it")
    return data


def listing(items, separator=", "):
    """items joined, as many as a verdict line has room for, then how many more there are."""
    shown, length = [], 0
    for item in items:
        if shown and length + len(item) > LINE_CAP - 100:
            return separator.join(shown) + f"{separator}and {len(items) - len(shown)} more"
        shown.append(item)
        length += len(item) + len(separator)
    return separator.join(shown)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def colons(hex_digits):
    return ":".join(hex_digits[i:i + 2] for i in range(0, 64, 2)).upper()


def identity(certificate):
    """(SHA-256 fingerprint in hex, subject as /CN=... reads) of a certificate."""
    subject = "".join(f"/{a.rfc4514_attribute_name}={a.value}" for a in certificate.subject)
    return certificate.fingerprint(hashes.SHA256()).hex(), subject


def git(*args):
    found = subprocess.run(["git", "-C", TOP, *args], capture_output=True, text=True)
    return found.stdout.strip() if found.returncode == 0 else None


def pinned(args):
    """The authors' fingerprints: --signer's, else those the repository lists."""
    given = args.signer or []
    if not given and os.path.exists(SIGNERS):
        given = [line.split()[0] for line in open(SIGNERS) if line.strip() and not line.startswith("#")]
    pins = {fingerprint_hex(g) for g in given}
    if None in pins:
        stop(f"not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed): {given}")
    return pins


def one_signer(signed, timestamps):
    """The signed data's one signer's certificate and its one unsigned attribute, a timestamp of
    a kind timestamps names, or None. The data holds nothing else: its certificates are the
    signer's chain (and a countersigning timestamp's), with no revocation lists. Raises Problem."""
    content = signed["content"]
    if signed["content_type"].native != "signed_data" or len(content["signer_infos"]) != 1:
        raise Problem("its signature is not signed data with one signer")
    info = content["signer_infos"][0]
    attributes = [] if isinstance(info["unsigned_attrs"], core.Void) else list(info["unsigned_attrs"])
    kinds = [a["type"].native for a in attributes]
    if len(kinds) > 1 or set(kinds) - timestamps or any(len(a["values"]) != 1 for a in attributes):
        raise Problem("its signature carries another signature or data besides one timestamp: " + ", ".join(kinds))
    certificates = [] if isinstance(content["certificates"], core.Void) else [c.chosen for c in content["certificates"]]
    signers = [info] + [a["values"][0] for a in attributes if a["type"].native == "counter_signature"]
    chains = [chain(certificates, s["sid"]) for s in signers]
    if sorted(c.dump() for c in certificates) != sorted({c.dump() for each in chains for c in each}) \
            or not isinstance(content["crls"], core.Void) and len(content["crls"]):
        raise Problem("its signature carries certificates or lists besides its signers' chains")
    return chains[0][0], attributes[0] if attributes else None


def chain(certificates, sid):
    """The one certificate that sid names, and its issuers among certificates, up to a root. Names
    and serial numbers are compared byte for byte as DER has them, never as they read (RFC 4518
    makes a soft hyphen vanish and fullwidth letters plain); a key identifier names a certificate
    by its own."""
    if sid.name == "subject_key_identifier":
        found = [c for c in certificates if c.key_identifier == sid.chosen.native]
    else:
        issuer, serial = sid.chosen["issuer"].dump(), sid.chosen["serial_number"].dump()
        found = [c for c in certificates
                 if c.issuer.dump() == issuer and c["tbs_certificate"]["serial_number"].dump() == serial]
    if len(found) != 1:
        raise Problem(f"its signer names {len(found)} of its certificates" if found
                      else "its signer's certificate is not in its signature")
    by_subject = {}
    for c in certificates:
        by_subject.setdefault(c.subject.dump(), c)
    seen = {found[0].dump()}
    while found[-1].issuer.dump() != found[-1].subject.dump():
        above = by_subject.get(found[-1].issuer.dump())
        if above is None or above.dump() in seen:
            break
        found.append(above)
        seen.add(above.dump())
    return found


class Rebuilds:
    """The recorded commits as this run builds them, in its own fresh folder, nothing taken from a
    folder another run or account could have changed: each commit's files written there from this
    repository's objects, configured and its sample package built once, and its program built once
    for each package it is to carry."""

    def __init__(self, work):
        self.work, self.builds, self.programs, self.noted = work, {}, {}, set()
        self.toolchain = artifact.toolchain()

    def note(self, recorded):
        """Says, once, how this toolchain differs from the recorded one, which alone can make the rebuild differ."""
        if recorded != self.toolchain and tuple(recorded) not in self.noted:
            self.noted.add(tuple(recorded))
            print("note: this toolchain differs from the recorded one, which alone can make the rebuild differ:")
            print("\n".join([f"  recorded: {t}" for t in recorded if t not in self.toolchain]
                            + [f"  here:     {t}" for t in self.toolchain if t not in recorded]))

    def run(self, *steps):
        log = os.path.join(self.work, "build.log")
        with open(log, "w") as out:
            for step in steps:
                if subprocess.run(step, stdout=out, stderr=subprocess.STDOUT).returncode:
                    print("".join(open(log).readlines()[-20:]), end="")
                    return False
        return True

    def export(self, commit, source):
        """The commit's files as this repository holds them, written into source."""
        tree = subprocess.run(["git", "-C", TOP, "ls-tree", "-r", "-z", "--full-tree", commit],
                              capture_output=True, check=True).stdout
        entries = [(meta.split(), path) for meta, path in (line.split(b"\t", 1) for line in tree.split(b"\0") if line)]
        blobs = subprocess.run(["git", "-C", TOP, "cat-file", "--batch"], input=b"".join(m[2] + b"\n" for m, _ in entries),
                               capture_output=True, check=True).stdout
        at = 0
        for (mode, kind, _), path in entries:
            start = blobs.index(b"\n", at) + 1
            end = start + int(blobs[at:start].split()[2])
            data, at = blobs[start:end], end + 1
            if kind != b"blob":
                raise Problem(f"commit {commit} holds {os.fsdecode(path)}, a {kind.decode()}, which no rebuild can take from here")
            target = os.path.join(source, os.fsdecode(path))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if mode == b"120000":
                os.symlink(os.fsdecode(data), target)
            else:
                write(target, data)
                os.chmod(target, 0o755 if mode == b"100755" else 0o644)

    def build(self, commit):
        """The build folder of commit, configured, its sample package built, or None where it does
        not build here."""
        if commit not in self.builds:
            source, build, package = (os.path.join(self.work, commit, d) for d in ("src", "build", "package"))
            self.export(commit, source)
            os.makedirs(package)
            jobs = str(os.cpu_count() or 1)
            built = self.run(["cmake", "-S", source, "-B", build, "--toolchain",
                              os.path.join(source, "cmake", "i686-w64-mingw32.cmake"),
                              "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DTAVRIN_PACKAGE={package}"],
                             ["cmake", "--build", build, "-j", jobs, "--target", "TavrinPlugin"])
            self.builds[commit] = build if built else None
        return self.builds[commit]

    def program(self, commit, files, contents):
        """The program that commit builds with the package of contents, or None where it does not build."""
        key = (commit, tuple(artifact.sha256(contents[f]) for f in files[1:]))
        if key not in self.programs:
            build = self.build(commit)
            package = os.path.join(self.work, commit, "package")
            shutil.rmtree(package)
            for f in files[1:]:
                os.makedirs(os.path.dirname(os.path.join(package, f)), exist_ok=True)
                write(os.path.join(package, f), contents[f])
            built = self.run(["cmake", "--build", build, "-j", str(os.cpu_count() or 1), "--target", "TavrinSetup"])
            self.programs[key] = read(os.path.join(build, artifact.PROGRAM)) if built else None
        return self.programs[key]


class Verifier:
    """The checks of one download: its zip, and SHA256SUMS, its signature and the build record beside it."""

    def __init__(self, args, path, pins, files, rebuilds, work):
        self.args, self.pins, self.files, self.rebuilds, self.work = args, pins, files, rebuilds, work
        self.failed = False
        self.made = []
        self.zip_path = os.path.abspath(path)
        name = os.path.basename(self.zip_path)
        self.version, self.top = re.fullmatch(f"Tavrin-({artifact.VERSION})\\.zip", name).group(1), name[:-4]
        folder = os.path.dirname(self.zip_path)
        self.sums_path = os.path.join(folder, "SHA256SUMS")
        self.record_path = os.path.join(folder, f"{self.top}.buildinfo")
        self.contents = {}
        self.removed = {}
        self.record = None

    def load(self):
        """Each file of the download read once, within its bound: the checks see those bytes alone."""
        def bounded(path, cap):
            try:
                return read_bounded(path, cap), None
            except Problem as problem:
                return None, str(problem)
        self.download, self.zip_problem = bounded(self.zip_path, ZIP_CAP)
        self.sums, self.sums_problem = bounded(self.sums_path, TEXT_CAP)
        self.record_text, self.record_problem = bounded(self.record_path, TEXT_CAP)
        self.p7s, self.p7s_problem = (bounded(self.sums_path + ".p7s", TEXT_CAP)
                                      if os.path.lexists(self.sums_path + ".p7s") else (None, None))
        if self.record_text is not None:
            try:
                self.record = artifact.read_record(self.record_text, self.top, self.files)
            except (ValueError, UnicodeDecodeError) as error:
                self.record_problem = f"{self.top}.buildinfo is no build record: {error}"

    def verdict(self, good, check, detail):
        line = f"{'ok' if good else 'FAIL':<4} {check}: {printable(detail)}"
        if len(line) > LINE_CAP:
            line = f"{line[:LINE_CAP - 40]}... ({len(line) - LINE_CAP + 40} characters more)"
        print(line, flush=True)
        self.failed |= not good
        self.made.append(check)

    def directory(self, expected):
        """zipfile's reading of the zip, once its central directory, the only part read before, lists
        what a release's can: no more than twice the release's entries, each stored, its size that of
        its data, all within the download. Raises Problem."""
        data, most = self.download, 2 * len(expected)
        end = len(data) - 22 if data[-22:-18] == b"PK\5\6" else data.rfind(b"PK\5\6", max(0, len(data) - 22 - 0xFFFF))
        if end < 0 or end + 22 > len(data):
            raise Problem("it has no end of a central directory")
        if end >= 20 and data[end - 20:end - 16] == b"PK\6\7":
            raise Problem("it has a zip64 end record, which a release never has")
        entries, size = struct.unpack_from("<HI", data, end + 10)
        if entries > most or size > most * 512:
            raise Problem(f"its central directory lists {entries} entries in {size} bytes, where the release has "
                          f"{len(expected)}")
        try:
            archive = zipfile.ZipFile(io.BytesIO(data))
        except Exception as error:  # whatever the zip claims, zipfile may meet it with any error
            raise Problem(f"it is not a zip that can be read: {error}")
        if len(archive.infolist()) > most:
            raise Problem(f"its central directory holds {len(archive.infolist())} entries, where the release has {len(expected)}")
        total = 0
        for info in archive.infolist():
            total += info.compress_size
            if info.compress_type != zipfile.ZIP_STORED:
                raise Problem(f"{info.filename} is compressed (method {info.compress_type}), where a release stores every entry")
            if info.compress_size != info.file_size or info.header_offset + info.compress_size > len(data) or total > len(data):
                raise Problem(f"{info.filename} says it is {info.file_size} bytes, stored in {info.compress_size}, "
                              f"in a download of {len(data)}")
        return archive

    # The layout, as Python reads the zip; the zip check holds every reader to the same.
    def check_layout(self):
        if self.download is None:
            return self.verdict(False, "layout", self.zip_problem)
        expected = artifact.layout(self.top, self.files)
        try:
            archive = self.directory(expected)
        except Problem as problem:
            return self.verdict(False, "layout", f"{self.top}.zip is not read: {problem}")
        names = collections.Counter(info.filename for info in archive.infolist())
        wrong = [f"extra {n}" for n in sorted(set(names) - set(expected))]
        wrong += [f"twice {n}" for n in sorted(n for n in names if names[n] > 1)]
        wrong += [f"missing {n}" for n in expected if n not in names]
        try:
            for f in self.files:
                if f"{self.top}/{f}" in names:
                    self.contents[f] = archive.read(f"{self.top}/{f}")
        except Exception as error:  # whatever the zip claims, zipfile may meet it with any error
            return self.verdict(False, "layout", f"{self.top}.zip is not a zip that can be read: {error}")
        if wrong:
            return self.verdict(False, "layout", listing(wrong, "; "))
        self.verdict(True, "layout", f"{self.top}/ with {artifact.PROGRAM}, {len(self.files)} files")

    def check_zip(self):
        if self.record is None or len(self.contents) != len(self.files):
            return self.verdict(False, "zip", f"{self.top}.zip cannot be made again: "
                                + ("the record, which gives its time, cannot be read" if self.record is None
                                   else "its files are not all there"))
        epoch = self.record["source-date-epoch"]
        made = artifact.zip_bytes(self.top, self.files, self.contents, epoch)
        if made == self.download:
            return self.verdict(True, "zip", f"{self.top}.zip byte for byte the zip the release makes of these files")
        at = next((i for i, (a, b) in enumerate(zip(made, self.download)) if a != b), min(len(made), len(self.download)))
        where = [what for offset, what in artifact.zip_regions(made) if offset <= at][-1:] or ["its start"]
        sizes = f", {len(self.download)} bytes, not {len(made)}" if len(made) != len(self.download) else ""
        self.verdict(False, "zip", f"{self.top}.zip differs from the zip the release makes of its files from byte {at} "
                     f"on, where that has {where[0]}{sizes}: bytes that another unzip may read otherwise")

    def check_sums(self):
        if self.sums is None:
            return self.verdict(False, "sums", self.sums_problem)
        try:
            listed = artifact.read_sums(self.sums)
        except (ValueError, UnicodeDecodeError) as error:
            return self.verdict(False, "sums", f"SHA256SUMS cannot be read: {error}")
        known = [(f"{self.top}.zip", self.download)] + [(f"{self.top}/{f}", self.contents.get(f)) for f in self.files]
        known.append((f"{self.top}.buildinfo", self.record_text))
        wrong = [name for name, data in known if data is None or listed.get(name) != artifact.sha256(data)]
        names = {name for name, _ in known}
        wrong += [f"{n} (which is no file of the release)" for n in listed if n not in names]
        if wrong:
            return self.verdict(False, "sums", "SHA256SUMS does not hold for " + listing(wrong))
        try:
            signer = self.sums_signer()
        except Problem as problem:
            return self.verdict(False, "sums", f"SHA256SUMS holds, but {problem}")
        self.verdict(True, "sums", f"SHA256SUMS holds for the zip, its {len(self.files)} files and the build record"
                     + (f", and is signed by {signer}" if signer else ""))

    def sums_signer(self):
        """Who signed SHA256SUMS (SHA256SUMS.p7s), the author pinned, or None for a release whose
        author is not asked for. The signature is checked with the pinned certificate as the only
        one it may be made by, never with one the file chose by name. Raises Problem."""
        if self.p7s is None:
            if self.p7s_problem or self.pins:
                raise Problem(self.p7s_problem or "the author has not signed it (no SHA256SUMS.p7s beside it)")
            return None
        try:
            signed = cms.ContentInfo.load(self.p7s, strict=True)
            certificate = x509.load_der_x509_certificate(one_signer(signed, set())[0].dump())
            content = signed["content"]
            digests = {a["algorithm"].native for a in content["digest_algorithms"]}
            digests.add(content["signer_infos"][0]["digest_algorithm"]["algorithm"].native)
            attached = content["encap_content_info"]["content"].native is not None
        except Problem:
            raise
        except Exception as error:
            raise Problem(f"SHA256SUMS.p7s cannot be read ({type(error).__name__}: {error})")
        fingerprint, who = identity(certificate)
        if fingerprint not in self.pins:
            raise Problem(f"SHA256SUMS.p7s is signed by {who} (SHA-256 {colons(fingerprint)}), "
                          + ("whose fingerprint is not the author's" if self.pins else NO_PIN))
        if digests - STRONG_DIGESTS or attached:
            raise Problem("SHA256SUMS.p7s holds data of its own" if attached else
                          f"SHA256SUMS.p7s is made with {', '.join(sorted(digests - STRONG_DIGESTS))}, not SHA-256 or better")
        paths = [os.path.join(self.work, name) for name in ("pinned.pem", "SHA256SUMS.p7s", "SHA256SUMS")]
        for path, data in zip(paths, (certificate.public_bytes(serialization.Encoding.PEM), self.p7s, self.sums)):
            write(path, data)
        said = subprocess.run(["openssl", "cms", "-verify", "-binary", "-noverify", "-nointern", "-certfile", paths[0],
                               "-inform", "DER", "-in", paths[1], "-content", paths[2], "-out", os.devnull],
                              capture_output=True, text=True)
        if said.returncode or "Verification successful" not in said.stderr:
            why = re.findall(r":error:[0-9A-F]+:[^:]*:[^:]*:([^:]*)", said.stderr) + said.stderr.splitlines()[-1:]
            raise Problem(f"SHA256SUMS.p7s does not sign it as it stands (openssl: {(why + ['no verdict'])[0]})")
        return who

    def resolve_commit(self):
        """The commit this version is, from the repository: its tag's, or the reviewer's --commit."""
        commit = self.record["commit"]
        if git("cat-file", "-e", f"{commit}^{{commit}}") is None:
            raise Problem(f"commit {commit} is not in this repository: fetch it, or verify in a clone that has it")
        tags = [(tag, git("rev-parse", "-q", "--verify", f"refs/tags/{tag}^{{commit}}")) for tag in (f"v{self.version}", self.version)]
        for tag, tagged in tags:
            if tagged and tagged != commit:
                raise Problem(f"tag {tag} is commit {tagged}, not the recorded {commit}")
            if tagged and self.args.commit not in (None, commit):
                raise Problem(f"tag {tag} is the recorded commit {commit}, not {self.args.commit} as --commit says")
        if any(tagged for _, tagged in tags):
            return commit, f"tag {next(tag for tag, tagged in tags if tagged)}"
        if self.args.commit is None:
            raise Problem(f"no tag names version {self.version} (v{self.version} or {self.version}): name the commit "
                          "you expect with --commit HASH")
        if self.args.commit != commit:
            raise Problem(f"the record names commit {commit}, not {self.args.commit} as --commit says")
        return commit, "--commit"

    def check_record(self):
        if self.record is None:
            return self.verdict(False, "record", self.record_problem)
        record, top = self.record, self.top
        try:
            if record["version"] != self.version:
                raise Problem(f"it names version {record['version']}, the zip {self.version}")
            self.commit, by = self.resolve_commit()
            if self.download is None or record["zip-sha256"] != artifact.sha256(self.download):
                raise Problem("it does not name this zip")
            shipped = dict(reversed(line.split(" ", 1)) for line in record["file-sha256"])
            wrong = [f for f in self.files if f not in self.contents
                     or shipped.get(f"{top}/{f}") != artifact.sha256(self.contents[f])]
            if wrong:
                raise Problem("its file sums do not match " + listing(wrong))
            carried = " ".join(artifact.sha256(self.contents.get(f, b"")) for f in self.files[1:])
            if record["program-sums"] != carried:
                raise Problem("the sums it says the program carries are not the package's as shipped")
            # what the release signed, as it was before: a package file its author signed has none
            for line in record["unsigned-sha256"]:
                digest, name = line.split(" ", 1)
                unsigned = self.unsigned(name[len(top) + 1:])  # None where it cannot be removed: the rebuild says so
                if unsigned is not None and digest != artifact.sha256(unsigned):
                    raise Problem(f"its sum of {name} before it was signed is not that file's with its signature removed")
        except Problem as problem:
            return self.verdict(False, "record", f"{top}.buildinfo: {problem}")
        self.verdict(True, "record", f"{top}.buildinfo names this zip and each of its files, version {self.version} "
                     f"at commit {self.commit} ({by})")

    def signature_facts(self, name, data):
        """The file's one signature as Windows reads it, held to the format strictly:
        (signer's certificate, timestamp time or None). Raises Problem."""
        image = artifact.pe_image(data)
        offset, size = artifact.certificate_table(image)
        ends = max((s.PointerToRawData + s.SizeOfRawData for s in image.sections), default=0)
        if offset + size != len(data) or offset < ends or size < 8:
            raise Problem("its certificate table is not where the format puts it, at the end of the file")
        if image.OPTIONAL_HEADER.CheckSum != image.generate_checksum():
            raise Problem("its checksum does not hold")
        length = int.from_bytes(data[offset:offset + 4], "little")
        if data[offset + 4:offset + 8] != b"\0\2\2\0" or not 8 < length <= size or -(-length // 8) * 8 != size:
            raise Problem("its certificate table holds something besides one Authenticode signature")
        blob = data[offset + 8:offset + size]
        try:
            _, _, _, header, body, _ = parser.parse(blob)
            der = blob[:len(header) + len(body)]
            if blob[len(der):].strip(b"\0") or len(blob) - len(der) >= 8:
                raise Problem(f"{len(blob) - len(der)} bytes after its signature, where only padding may be")
            signed = cms.ContentInfo.load(der, strict=True)
            signer, stamp = one_signer(signed, TIMESTAMPS)
            stamped = None
            if stamp and stamp["type"].native == "microsoft_time_stamp_token":
                token = stamp["values"][0]
                one_signer(token, set())
                stamped = token["content"]["encap_content_info"]["content"].parsed["gen_time"].native
            elif stamp:
                stamped = next(a["values"][0].native for a in stamp["values"][0]["signed_attrs"]
                               if a["type"].native == "signing_time")
            return x509.load_der_x509_certificate(signer.dump()), stamped
        except Problem:
            raise
        except Exception as error:  # whatever is in the signature's place, the parse may meet it with any error
            raise Problem(f"its signature cannot be read ({type(error).__name__}: {error})")

    def osslsigncode_says(self, name, data):
        """What osslsigncode makes of the signature and its timestamp, read from what it prints:
        it exits 0 even when the timestamp's signature fails."""
        path = os.path.join(self.work, "verify-" + os.path.basename(name))
        write(path, data)
        roots = ["-CAfile", self.args.ca, "-TSA-CAfile", self.args.ca] if self.args.ca else []
        said = subprocess.run(["osslsigncode", "verify", *roots, "-in", path], capture_output=True, text=True)
        lines = [line.strip() for line in (said.stdout + said.stderr).splitlines()]
        # its verdict on the signature; the timestamp's has a line of its own, for the caller
        if said.returncode or "Signature verification: ok" not in lines or "Signature verification: failed" in lines:
            why = [line for line in lines if re.search(r"fail|error|mismatch|invalid", line, re.I)]
            raise Problem(f"its signature does not verify ({'; '.join(why[:2]) or 'no verdict'})")
        return lines

    def check_signature(self):
        images = {f: artifact.pe_image(self.contents[f]) for f in self.files if f in self.contents}
        pe = [f for f in self.files if images.get(f)]
        tables = {f: artifact.certificate_table(images[f]) for f in pe}
        if artifact.PROGRAM not in pe:
            return self.verdict(False, "signature", "no program in the zip")
        if not any(tables.values()):
            if self.pins or self.args.ca:
                return self.verdict(False, "signature", "none: the release is not signed, though "
                                    + ("an author's fingerprint is given" if self.pins else "--ca is given"))
            return self.verdict(True, "signature", "none: the release is not signed")
        problems, signer, stamps = [], None, {}
        for f in pe:
            try:
                entries = images[f].OPTIONAL_HEADER.NumberOfRvaAndSizes
                if not tables[f]:
                    raise Problem("not signed" + (f": its header's data directory has {entries} entries, none for a "
                                                  "certificate table" if entries < 5 else ""))
                certificate, stamped = self.signature_facts(f, self.contents[f])
                fingerprint, who = identity(certificate)
                if not self.pins:
                    raise Problem(f"signed by {who} (SHA-256 {colons(fingerprint)}), {NO_PIN}")
                lines = self.osslsigncode_says(f, self.contents[f])
                if stamped and "Timestamp Server Signature verification: ok" not in lines:
                    raise Problem("its timestamp's signature does not verify" + (" against --ca" if self.args.ca else ""))
                if fingerprint not in self.pins:
                    raise Problem(f"signed by {who} (SHA-256 {colons(fingerprint)}), whose fingerprint is not the author's")
                signer = signer or who
                stamps[f] = stamped
            except Problem as problem:
                problems.append(f"{f}: {problem}")
        # timestamped all, or none: a timestamp taken off one file takes its signature's life with it
        problems += [f"{f}: not timestamped, though {next(g for g in stamps if stamps[g])} is"
                     for f in stamps if not stamps[f] and any(stamps.values())]
        if problems:
            return self.verdict(False, "signature", listing(problems, "; "))
        stamped = stamps.get(artifact.PROGRAM)
        when = stamped and stamped.astimezone(datetime.timezone.utc).strftime("%b %e %H:%M:%S %Y GMT")
        self.verdict(True, "signature", f"every program and library, by {signer}, "
                     + (f"timestamped {when}" if when else "not timestamped: valid only while the certificate is"))

    def unsigned(self, name):
        """The zip's file as it was before it was signed, or None when its signature cannot be removed."""
        if name not in self.removed:
            data = self.contents[name]
            image = artifact.pe_image(data)
            if image and artifact.certificate_table(image):
                signed, unsigned = os.path.join(self.work, "signed"), os.path.join(self.work, "unsigned")
                write(signed, data)
                if os.path.exists(unsigned):
                    os.remove(unsigned)
                removed = subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", unsigned],
                                         capture_output=True)
                data = read(unsigned) if removed.returncode == 0 else None
            self.removed[name] = data
        return self.removed[name]

    def compare(self, name, expected, what):
        """A problem with the zip's file against the reference's bytes (None: it has none), or None."""
        if name not in self.contents:
            return f"{name}: not in the zip"
        data = self.unsigned(name)
        if data is None:
            return f"{name}: its signature cannot be removed, so it cannot be compared"
        if expected is None:
            return f"{name}: {what} has none"
        if data == expected:
            return None
        differ = [i for i, (a, b) in enumerate(zip(data, expected)) if a != b]
        where = f"bytes {differ[0] + 1} to {differ[-1] + 1}" if differ and len(data) == len(expected) else "the sizes differ"
        return f"{name} differs from {what} ({where})"

    def check_rebuild(self):
        if not hasattr(self, "commit"):
            return self.verdict(False, "rebuild", "no commit to rebuild: the record does not hold")
        if len(self.contents) != len(self.files):
            return self.verdict(False, "rebuild", "the zip lacks files to rebuild the program with")
        print(f"against commit {self.commit} ({self.record['sources']})")
        self.rebuilds.note(self.record["toolchain"])
        build = self.rebuilds.build(self.commit)
        if build is None:
            return self.verdict(False, "rebuild", f"commit {self.commit} does not build here")
        what = f"what commit {self.commit} builds"
        program = self.unsigned(artifact.PROGRAM) or b""
        problems = [f"{artifact.PROGRAM} does not carry the sum of {f} as shipped: it was released with another {f}"
                    for f in self.files[1:] if bytes.fromhex(artifact.sha256(self.contents[f])) not in program]
        # the program is built with the package's sums only where it carries them: else it cannot be that build
        if not problems:
            built = self.rebuilds.program(self.commit, self.files, self.contents)
            if built is None:
                return self.verdict(False, "rebuild", f"commit {self.commit} does not build its program here")
            problems.append(self.compare(artifact.PROGRAM, built, what))
        built_package = self.record["package"] == artifact.BUILT_PACKAGE
        if built_package:
            sample = [os.path.join(build, "sample-package", f) for f in self.files[1:]]
            problems += [self.compare(f, read(s) if os.path.isfile(s) else None, what) for f, s in zip(self.files[1:], sample)]
        problems = [p for p in problems if p]
        if problems:
            return self.verdict(False, "rebuild", listing(problems, "; "))
        self.verdict(True, "rebuild", f"the program{' and the sample package' if built_package else ''}, signatures "
                     f"removed, byte for byte what commit {self.commit} builds")

    def check_package(self):
        if self.args.package is None:
            return self.verdict(False, "package", "given from outside, so not rebuilt here: name the author's published "
                                "package (or a build of it) with --package DIR")
        problems = []
        for f in self.files[1:]:
            reference = os.path.join(self.args.package, f)
            expected = read(reference) if os.path.isfile(reference) else None
            if f not in self.contents or expected != self.contents[f]:
                problems.append(self.compare(f, expected, self.args.package))
        problems = [p for p in problems if p]
        if problems:
            return self.verdict(False, "package", listing(problems, "; "))
        self.verdict(True, "package", f"byte for byte the package in {self.args.package}, signatures removed")

    def run(self):
        self.load()
        checks = ["layout", "zip", "sums", "record", "signature", "rebuild"]
        if self.record and self.record["package"] == artifact.GIVEN_PACKAGE:
            checks.append("package")
        for check in checks:
            try:
                getattr(self, f"check_{check}")()
            except Exception as error:  # a check's own error is its failure; the others still run
                if check not in self.made:
                    self.verdict(False, check, f"could not be made: {type(error).__name__}: {error}")
        for check in checks:
            if check not in self.made:
                self.verdict(False, check, "could not be made")
        return 1 if self.failed else 0


def main():
    options = argparse.ArgumentParser(prog="tools/verify-release.sh", description=__doc__.split("\n")[0])
    options.add_argument("zips", nargs="+", metavar="zip",
                         help="Tavrin-VERSION.zip, with SHA256SUMS and Tavrin-VERSION.buildinfo beside it; several may be "
                         "given, each checked with the same options")
    options.add_argument("--ca", help="the root of a private CA, for the signatures and their timestamps")
    options.add_argument("--package", help="the package a release of a given package is held to")
    options.add_argument("--signer", action="append", help="the author's SHA-256 certificate fingerprint")
    options.add_argument("--commit", help="the full hash of the commit expected, where no tag names the version")
    args = options.parse_intermixed_args()
    for path in args.zips:
        if not re.fullmatch(f"Tavrin-({artifact.VERSION})\\.zip", os.path.basename(path)):
            stop(f"{path} is not named as a release (Tavrin-VERSION.zip)")
    if args.commit is not None and not re.fullmatch(r"[0-9a-f]{40}", args.commit):
        stop(f"--commit {args.commit}: give the commit's full hash, not a name (git rev-parse NAME shows it)")
    for option in ("ca", "package"):
        value = getattr(args, option)
        if value is not None and not (os.path.isdir if option == "package" else os.path.isfile)(value):
            stop(f"no {'package folder' if option == 'package' else 'file'} {value}")
        if value is not None:
            setattr(args, option, os.path.abspath(value))
    pins, files = pinned(args), artifact.release_files(HEADER)
    # stopped from outside (a time limit, say), it still takes its folder away
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    work = tempfile.mkdtemp(prefix="verify-release-")
    try:
        rebuilds, status = Rebuilds(work), 0
        for path in args.zips:
            if len(args.zips) > 1:
                print(f"== {printable(path)}", flush=True)
            status |= Verifier(args, path, pins, files, rebuilds, work).run()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(status)


if __name__ == "__main__":
    main()
