#!/usr/bin/env bash
# Checks a downloaded release against the source it was built from and the author who signed it:
# the zip byte for byte, its sums and build record, every signature and timestamp, and a rebuild of
# the recorded commit (tools/verify_release.py says each check). SHA256SUMS and
# Tavrin-VERSION.buildinfo are looked for beside the zip; several zips are checked in one run, each
# with the same options. Installs what the checks need first.
# Usage: tools/verify-release.sh ZIP... [--signer FINGERPRINT]... [--ca FILE] [--commit HASH] [--package DIR]
#   FINGERPRINT: the SHA-256 of the author's signing certificate, as openssl x509 -fingerprint
#     -sha256 or PowerShell shows it (tools/release-signers lists those the repository knows)
#   FILE: the root of a private CA, for the signatures and their timestamps
#   HASH: the full commit expected where no tag vVERSION or VERSION names the release's
#   DIR: the package a release of a package given from outside is held to
set -uo pipefail
. "$(dirname "$0")/deps.sh"
# what the rebuild needs (the project's configuration takes in GoogleTest), and the checks
apt_install cmake make g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest python3 python3-pefile \
  python3-cryptography python3-asn1crypto osslsigncode git >/dev/null || exit 2
exec /usr/bin/python3 "$(dirname "$0")/verify_release.py" "$@"
