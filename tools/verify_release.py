#!/usr/bin/python3
"""Checks a downloaded release against the source it was built from and the author who signed it.
tools/verify-release.sh runs it, with what it needs installed.

Each check prints one verdict, "ok" or "FAIL", naming the files it looked at and what differs:
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
A check that could not be made fails; the exit code is 0 only when every check holds.
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

from asn1crypto import cms, core, parser, tsp  # noqa: F401  tsp: the timestamp's content type
from cryptography import x509
from cryptography.hazmat.primitives import hashes

import release_artifact as artifact

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADER = os.path.join(TOP, "core", "package.h")
SIGNERS = os.path.join(TOP, "tools", "release-signers")
# The unsigned attributes a signature may carry: its timestamp, in either form.
TIMESTAMPS = {"microsoft_time_stamp_token", "counter_signature"}
NO_PIN = ("but no author's fingerprint is known here: give the author's with --signer FINGERPRINT, or list it in "
          "tools/release-signers")


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
    chains = [chain(certificates, s["sid"].chosen) for s in signers]
    if sorted(c.dump() for c in certificates) != sorted({c.dump() for each in chains for c in each}) \
            or not isinstance(content["crls"], core.Void) and len(content["crls"]):
        raise Problem("its signature carries certificates or lists besides its signers' chains")
    return chains[0][0], attributes[0] if attributes else None


def chain(certificates, sid):
    """The certificate that sid names, and its issuers among certificates, up to a root."""
    found = [c for c in certificates if c.issuer == sid["issuer"] and c.serial_number == sid["serial_number"].native]
    while found and found[-1].issuer != found[-1].subject:
        above = [c for c in certificates if c.subject == found[-1].issuer and c not in found]
        if not above:
            break
        found.append(above[0])
    if not found:
        raise Problem("its signer's certificate is not in its signature")
    return found


class Verifier:
    def __init__(self, args):
        self.args = args
        self.failed = False
        self.made = []
        self.zip_path = os.path.abspath(args.zip)
        name = os.path.basename(self.zip_path)
        found = re.fullmatch(f"Tavrin-({artifact.VERSION})\\.zip", name)
        if not found:
            stop(f"{args.zip} is not named as a release (Tavrin-VERSION.zip)")
        self.version, self.top = found.group(1), name[:-4]
        folder = os.path.dirname(self.zip_path)
        self.sums_path = os.path.join(folder, "SHA256SUMS")
        self.record_path = os.path.join(folder, f"{self.top}.buildinfo")
        for path in (self.zip_path, self.sums_path, self.record_path):
            if not os.access(path, os.R_OK):
                stop(f"cannot read {path}")
        self.files = artifact.release_files(HEADER)
        self.download = read(self.zip_path)
        self.contents = {}
        self.record = None
        self.pins = self.pinned()
        self.work = tempfile.mkdtemp()

    def verdict(self, good, check, detail):
        print(f"{'ok' if good else 'FAIL':<4} {check}: {printable(detail)}", flush=True)
        self.failed |= not good
        self.made.append(check)

    def pinned(self):
        """The authors' fingerprints: --signer's, else those the repository lists."""
        given = self.args.signer or []
        if not given and os.path.exists(SIGNERS):
            given = [line.split()[0] for line in open(SIGNERS) if line.strip() and not line.startswith("#")]
        pins = {fingerprint_hex(g) for g in given}
        if None in pins:
            stop(f"not a SHA-256 fingerprint (64 hexadecimal digits, colons allowed): {given}")
        return pins

    # The layout, as Python reads the zip; the zip check holds every reader to the same.
    def check_layout(self):
        try:
            archive = zipfile.ZipFile(self.zip_path)
            names = archive.namelist()
            expected = artifact.layout(self.top, self.files)
            wrong = [f"extra {n}" for n in sorted(set(names) - set(expected))]
            wrong += [f"twice {n}" for n in sorted({n for n in names if names.count(n) > 1})]
            wrong += [f"missing {n}" for n in sorted(set(expected) - set(names))]
            for f in self.files:
                if f"{self.top}/{f}" in names:
                    self.contents[f] = archive.read(f"{self.top}/{f}")
        except Exception as error:  # whatever the zip claims, zipfile may meet it with any error
            return self.verdict(False, "layout", f"{self.top}.zip is not a zip that can be read: {error}")
        if wrong:
            return self.verdict(False, "layout", "; ".join(wrong))
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
        try:
            listed = artifact.read_sums(self.sums_path)
        except (ValueError, UnicodeDecodeError) as error:
            return self.verdict(False, "sums", f"SHA256SUMS cannot be read: {error}")
        actual = {f"{self.top}.zip": artifact.sha256(self.download),
                  f"{self.top}.buildinfo": artifact.file_sha256(self.record_path)}
        actual.update({f"{self.top}/{f}": artifact.sha256(data) for f, data in self.contents.items()})
        wrong = [n for n in actual if listed.get(n) != actual[n]] + [f"{self.top}/{f}" for f in self.files if f not in self.contents]
        known = set(actual) | {f"{self.top}/{f}" for f in self.files}
        wrong += [f"{n} (which is no file of the release)" for n in listed if n not in known]
        if wrong:
            return self.verdict(False, "sums", "SHA256SUMS does not hold for " + ", ".join(wrong))
        try:
            signer = self.sums_signer()
        except Problem as problem:
            return self.verdict(False, "sums", f"SHA256SUMS holds, but {problem}")
        self.verdict(True, "sums", f"SHA256SUMS holds for the zip, its {len(self.files)} files and the build record"
                     + (f", and is signed by {signer}" if signer else ""))

    def sums_signer(self):
        """Who signed SHA256SUMS (SHA256SUMS.p7s), the author pinned, or None for a release whose
        author is not asked for. Raises Problem."""
        path = self.sums_path + ".p7s"
        if not os.path.exists(path):
            if self.pins:
                raise Problem("the author has not signed it (no SHA256SUMS.p7s beside it)")
            return None
        said = subprocess.run(["openssl", "cms", "-verify", "-binary", "-noverify", "-inform", "DER", "-in", path,
                               "-content", self.sums_path, "-out", os.devnull], capture_output=True, text=True)
        if said.returncode or "Verification successful" not in said.stderr:
            why = re.findall(r":error:[0-9A-F]+:[^:]*:[^:]*:([^:]*)", said.stderr) or ["no verdict"]
            raise Problem(f"SHA256SUMS.p7s does not sign it as it stands (openssl: {why[0]})")
        try:
            certificate = x509.load_der_x509_certificate(one_signer(cms.ContentInfo.load(read(path), strict=True), set())[0].dump())
        except Problem:
            raise
        except Exception as error:
            raise Problem(f"SHA256SUMS.p7s cannot be read ({type(error).__name__}: {error})")
        fingerprint, who = identity(certificate)
        if fingerprint not in self.pins:
            raise Problem(f"SHA256SUMS.p7s is signed by {who} (SHA-256 {colons(fingerprint)}), "
                          + ("whose fingerprint is not the author's" if self.pins else NO_PIN))
        return who

    def read_record(self):
        try:
            self.record = artifact.read_record(self.record_path, self.top, self.files)
        except (ValueError, UnicodeDecodeError) as error:
            self.record_problem = f"{self.top}.buildinfo is no build record: {error}"

    def resolve_commit(self):
        """The commit this version is, from the repository: its tag's, or the reviewer's --commit."""
        commit = self.record["commit"]
        if git("cat-file", "-e", f"{commit}^{{commit}}") is None:
            raise Problem(f"commit {commit} is not in this repository: fetch it, or verify in a clone that has it")
        for tag in (f"v{self.version}", self.version):
            tagged = git("rev-parse", "-q", "--verify", f"refs/tags/{tag}^{{commit}}")
            if tagged and tagged != commit:
                raise Problem(f"tag {tag} is commit {tagged}, not the recorded {commit}")
            if tagged and self.args.commit in (None, commit):
                return commit, f"tag {tag}"
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
            if record["zip-sha256"] != artifact.sha256(self.download):
                raise Problem("it does not name this zip")
            shipped = dict(reversed(line.split(" ", 1)) for line in record["file-sha256"])
            wrong = [f for f in self.files if f not in self.contents
                     or shipped.get(f"{top}/{f}") != artifact.sha256(self.contents[f])]
            if wrong:
                raise Problem("its file sums do not match " + ", ".join(wrong))
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
        if offset + size != len(data) or offset < ends or offset % 8 or size < 8:
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
        pe = [f for f in self.files if f in self.contents and artifact.pe_image(self.contents[f])]
        tables = {f: artifact.certificate_table(artifact.pe_image(self.contents[f])) for f in pe}
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
                if not tables[f]:
                    raise Problem("not signed")
                certificate, stamped = self.signature_facts(f, self.contents[f])
                lines = self.osslsigncode_says(f, self.contents[f])
                if stamped and "Timestamp Server Signature verification: ok" not in lines:
                    raise Problem("its timestamp's signature does not verify" + (" against --ca" if self.args.ca else ""))
                fingerprint, who = identity(certificate)
                if not self.pins:
                    raise Problem(f"signed by {who} (SHA-256 {colons(fingerprint)}), {NO_PIN}")
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
            return self.verdict(False, "signature", "; ".join(problems))
        stamped = stamps.get(artifact.PROGRAM)
        when = stamped and stamped.astimezone(datetime.timezone.utc).strftime("%b %e %H:%M:%S %Y GMT")
        self.verdict(True, "signature", f"every program and library, by {signer}, "
                     + (f"timestamped {when}" if when else "not timestamped: valid only while the certificate is"))

    def unsigned(self, name):
        """The zip's file as it was before it was signed, or None when its signature cannot be removed."""
        data = self.contents[name]
        image = artifact.pe_image(data)
        if not image or not artifact.certificate_table(image):
            return data
        signed, unsigned = os.path.join(self.work, "signed"), os.path.join(self.work, "unsigned")
        write(signed, data)
        if os.path.exists(unsigned):
            os.remove(unsigned)
        removed = subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", unsigned], capture_output=True)
        return read(unsigned) if removed.returncode == 0 else None

    def compare(self, name, reference, what):
        """A problem with the zip's file against the reference file, or None."""
        if name not in self.contents:
            return f"{name}: not in the zip"
        data = self.unsigned(name)
        if data is None:
            return f"{name}: its signature cannot be removed, so it cannot be compared"
        if not os.path.isfile(reference):
            return f"{name}: {what} has none"
        expected = read(reference)
        if data == expected:
            return None
        differ = [i for i, (a, b) in enumerate(zip(data, expected)) if a != b]
        where = f"bytes {differ[0] + 1} to {differ[-1] + 1}" if differ and len(data) == len(expected) else "the sizes differ"
        return f"{name} differs from {what} ({where})"

    def build(self):
        """The recorded commit built here with the zip's package: the build folder, kept in
        build/verify/ for later checks of that commit with this toolchain, or None."""
        toolchain = artifact.toolchain()
        recorded = self.record["toolchain"]
        if recorded != toolchain:
            print("note: this toolchain differs from the recorded one, which alone can make the rebuild differ:")
            print("\n".join([f"  recorded: {t}" for t in recorded if t not in toolchain]
                            + [f"  here:     {t}" for t in toolchain if t not in recorded]))
        tag = hashlib.sha256("\n".join(toolchain).encode()).hexdigest()[:12]
        cache = os.path.join(TOP, "build", "verify", f"{self.commit}-{tag}")
        source, build = os.path.join(cache, "src"), os.path.join(cache, "build")
        # the zip's package in a place of the cache's own, so that the build is configured once
        package = os.path.join(cache, "package")
        shutil.rmtree(package, ignore_errors=True)
        for f in self.files[1:]:
            os.makedirs(os.path.dirname(os.path.join(package, f)), exist_ok=True)
            write(os.path.join(package, f), self.contents[f])
        log = open(os.path.join(self.work, "build.log"), "w")
        steps = []
        if not os.path.isdir(os.path.join(source, ".git")):
            shutil.rmtree(source, ignore_errors=True)
            shutil.rmtree(build, ignore_errors=True)
            steps += [["git", "clone", "-q", "--no-checkout", TOP, source], ["git", "-C", source, "checkout", "-q", self.commit]]
        steps += [["cmake", "-S", source, "-B", build, "--toolchain", os.path.join(source, "cmake", "i686-w64-mingw32.cmake"),
                   "-DCMAKE_BUILD_TYPE=MinSizeRel", f"-DTAVRIN_PACKAGE={package}"],
                  ["cmake", "--build", build, "--target", "TavrinSetup", "TavrinPlugin"]]
        for step in steps:
            if subprocess.run(step, stdout=log, stderr=subprocess.STDOUT).returncode:
                log.close()
                print("".join(open(log.name).readlines()[-20:]), end="")
                return None
        return build

    def check_rebuild(self):
        if not hasattr(self, "commit"):
            return self.verdict(False, "rebuild", "no commit to rebuild: the record does not hold")
        if len(self.contents) != len(self.files):
            return self.verdict(False, "rebuild", "the zip lacks files to rebuild the program with")
        print(f"against commit {self.commit} ({self.record['sources']})")
        build = self.build()
        if build is None:
            return self.verdict(False, "rebuild", f"commit {self.commit} does not build here")
        built_package = self.record["package"] == artifact.BUILT_PACKAGE
        what = f"what commit {self.commit} builds"
        problems = [self.compare(artifact.PROGRAM, os.path.join(build, artifact.PROGRAM), what)]
        if built_package:
            problems += [self.compare(f, os.path.join(build, "sample-package", f), what) for f in self.files[1:]]
        problems = [p for p in problems if p]
        program = self.unsigned(artifact.PROGRAM) or b""
        problems += [f"{artifact.PROGRAM} does not carry the sum of {f} as shipped: it was released with another {f}"
                     for f in self.files[1:] if bytes.fromhex(artifact.sha256(self.contents[f])) not in program]
        if problems:
            return self.verdict(False, "rebuild", "; ".join(problems))
        self.verdict(True, "rebuild", f"the program{' and the sample package' if built_package else ''}, signatures "
                     f"removed, byte for byte what commit {self.commit} builds")

    def check_package(self):
        if self.args.package is None:
            return self.verdict(False, "package", "given from outside, so not rebuilt here: name the author's published "
                                "package (or a build of it) with --package DIR")
        problems = []
        for f in self.files[1:]:
            reference = os.path.join(self.args.package, f)
            if not (f in self.contents and os.path.isfile(reference) and read(reference) == self.contents[f]):
                problems.append(self.compare(f, reference, self.args.package))
        problems = [p for p in problems if p]
        if problems:
            return self.verdict(False, "package", "; ".join(problems))
        self.verdict(True, "package", f"byte for byte the package in {self.args.package}, signatures removed")

    def run(self):
        try:
            self.read_record()
            self.check_layout()
            self.check_zip()
            self.check_sums()
            self.check_record()
            self.check_signature()
            self.check_rebuild()
            checks = ["layout", "zip", "sums", "record", "signature", "rebuild"]
            if self.record and self.record["package"] == artifact.GIVEN_PACKAGE:
                self.check_package()
                checks.append("package")
            for check in checks:
                if check not in self.made:
                    self.verdict(False, check, "could not be made")
        finally:
            shutil.rmtree(self.work, ignore_errors=True)
        return 1 if self.failed else 0


def main():
    options = argparse.ArgumentParser(prog="tools/verify-release.sh", description=__doc__.split("\n")[0])
    options.add_argument("zip", help="Tavrin-VERSION.zip, with SHA256SUMS and Tavrin-VERSION.buildinfo beside it")
    options.add_argument("--ca", help="the root of a private CA, for the signatures and their timestamps")
    options.add_argument("--package", help="the package a release of a given package is held to")
    options.add_argument("--signer", action="append", help="the author's SHA-256 certificate fingerprint")
    options.add_argument("--commit", help="the full hash of the commit expected, where no tag names the version")
    args = options.parse_args()
    if args.commit is not None and not re.fullmatch(r"[0-9a-f]{40}", args.commit):
        stop(f"--commit {args.commit}: give the commit's full hash, not a name (git rev-parse NAME shows it)")
    for option in ("ca", "package"):
        value = getattr(args, option)
        if value is not None and not (os.path.isdir if option == "package" else os.path.isfile)(value):
            stop(f"no {'package folder' if option == 'package' else 'file'} {value}")
        if value is not None:
            setattr(args, option, os.path.abspath(value))
    sys.exit(Verifier(args).run())


if __name__ == "__main__":
    main()
