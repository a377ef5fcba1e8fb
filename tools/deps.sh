# Sourced by the tools: installs with apt-get whatever of the build and test kit is missing, and
# makes sure this machine runs 32-bit x86 programs, which the product and its tests are.
# The packages: CMake, the two MinGW-w64 cross compilers, 64-bit and 32-bit Wine, Xvfb,
# GoogleTest's sources, Python for the file checks, clang with its sanitizer and fuzzer runtimes
# for the native checks of the text composition, ImageMagick for the demo's screenshots, and NSIS,
# whose makensis compiles what the program installs; OpenSSL and osslsigncode sign a release, with
# the PKCS#11 engine for keys on tokens and SoftHSM for the test token; pefile, cryptography and
# asn1crypto read programs, certificates and signatures for the release's checks; mmdebstrap makes
# the root that holds Wine 10.
TAVRIN_PACKAGES="cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine wine64 wine32:i386 xvfb googletest python3 clang libclang-rt-14-dev
  imagemagick nsis openssl osslsigncode softhsm2 libengine-pkcs11-openssl mmdebstrap
  python3-pefile python3-cryptography python3-asn1crypto"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# apt_update: refreshes the package indexes. A mirror caught mid-sync serves an index that fails its
# check: that index is named in one line and left out (apt keeps going on the others), and its
# suite is remembered in APT_FAILED_SUITES for apt_install.
APT_FAILED_SUITES=
apt_update() {
  local out failed
  out=$(as_root apt-get update -q -o Acquire::Retries=3 2>&1) || true
  failed=$(printf '%s\n' "$out" | awk '/^Err:/ { printf "%s%s %s", sep, $3, $4; sep = ", " }')
  [ -z "$failed" ] && return 0
  echo "these package indexes did not download (a mirror mid-sync?), going on without them: $failed"
  APT_FAILED_SUITES="$APT_FAILED_SUITES $(printf '%s\n' "$out" | awk '/^Err:/ { split($3, s, "/"); print s[1] }' | sort -u)"
}

# apt_install [-t SUITE] PACKAGE...: installs those not installed yet. Where a suite lost an index
# to the update (one architecture's, say), its other indexes offer versions the lost one cannot
# match (a library of one version for both architectures), so the install is tried once more with
# that suite's priority lowered, taking what it needs from the suites that came whole.
apt_install() {
  local suite=() missing=() p prefs
  [ "$1" = -t ] && { suite=(-t "$2"); shift 2; }
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  set -- as_root apt-get install -y -q --no-install-recommends -o Acquire::Retries=3 "${suite[@]}" "${missing[@]}"
  [ -z "$APT_FAILED_SUITES" ] && { "$@"; return; }
  "$@" >/dev/null 2>&1 && return 0
  prefs=$(mktemp)
  for p in $APT_FAILED_SUITES; do
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1\n\nPackage: *\nPin: release a=%s\nPin-Priority: 1\n\n' "$p" "$p"
  done >"$prefs"
  "$@" -o Dir::Etc::Preferences="$prefs" && { rm -f "$prefs"; return 0; }
  rm -f "$prefs"
  echo "FATAL: could not install ${missing[*]}: the index of$APT_FAILED_SUITES did not download (a mirror mid-sync?); try again later"
  exit 1
}

ensure_packages() {
  # 32-bit Wine comes from the i386 side of the archive.
  dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
  apt_install $TAVRIN_PACKAGES "$@"
  ensure_32bit
}

# The archive address this machine takes its own suite from (a mirror, maybe), from its one-line
# or deb822 source lists; Debian's own where neither names one.
debian_archive() {
  {
    sed -nE "s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+$1[[:space:]].*/\2/p" \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    awk -v suite="$1" 'BEGIN { RS = "" } {
        uri = ""; found = 0
        for (i = 1; i <= NF; i++) {
          if ($i == "URIs:") uri = $(i + 1)
          if ($i == "Suites:") for (j = i + 1; j <= NF && $j !~ /:$/; j++) if ($j == suite) found = 1
        }
        if (found && uri != "") print uri
      }' /etc/apt/sources.list.d/*.sources 2>/dev/null
    echo http://deb.debian.org/debian
  } | head -n 1
}

runs_32bit() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }
# Whether they run through the emulator that ensure_32bit registers.
emulates_32bit() { head -n1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null | grep -qx enabled; }

# Some kernels are built with 32-bit support but boot with it switched off (the kernel log says
# "32-bit emulation disabled"): every 32-bit program then fails with "Exec format error". There
# 32-bit programs run through qemu's user-mode emulator, registered with the kernel for 32-bit x86
# files; 64-bit Wine and its server still run natively. The emulator comes from the distribution's
# backports: bookworm's qemu 7.2 takes about a minute to start each Wine program (it searches the
# reserved address space a page at a time on every mapping), 10.0 about a second.
# TAVRIN_EMULATE_32BIT=1 runs them through the emulator where the kernel could run them itself, as
# such a machine does: the kernel tries binfmt_misc's entries before its own loader. The entry made
# for it alone is taken out again by unemulate_32bit.
ensure_32bit() {
  local why
  if [ -n "${TAVRIN_EMULATE_32BIT:-}" ]; then
    emulates_32bit && return 0
    echo "TAVRIN_EMULATE_32BIT: running 32-bit x86 programs through qemu's user-mode emulator"
    register_qemu && TAVRIN_EMULATION_ADDED=1 && return 0
    echo "FATAL: qemu's user-mode emulator could not be registered for 32-bit x86 programs"
    exit 1
  fi
  runs_32bit && return 0
  why=$(dmesg 2>/dev/null | grep -m1 -o '32-bit emulation disabled.*' || true)
  echo "this kernel does not run 32-bit x86 programs (${why:-Exec format error}):" \
    "running them through qemu's user-mode emulator"
  register_qemu
  if ! runs_32bit; then
    echo "FATAL: this machine cannot run 32-bit x86 programs, so the product (a 32-bit program) cannot be"
    echo "tested here. The kernel refuses them (${why:-Exec format error}) and qemu's user-mode emulator"
    echo "could not be registered for them (/proc/sys/fs/binfmt_misc). Boot the kernel with ia32_emulation=on,"
    echo "or use a machine whose kernel runs 32-bit code."
    exit 1
  fi
}

register_qemu() {
  . /etc/os-release
  local backports=$VERSION_CODENAME-backports list=/etc/apt/sources.list.d/$VERSION_CODENAME-backports.sources
  if [ ! -f "$list" ]; then
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      "$(debian_archive "$VERSION_CODENAME")" "$backports" /usr/share/keyrings/debian-archive-keyring.gpg \
      | as_root tee "$list" >/dev/null
    apt_update
  fi
  apt_install -t "$backports" qemu-user
  local misc=/proc/sys/fs/binfmt_misc
  [ -f $misc/register ] || as_root mount -t binfmt_misc binfmt_misc $misc || true
  # 32-bit little-endian ELF executables and shared objects for the 386; F: the kernel opens the
  # emulator now, so that it serves every process whatever its view of the file system.
  [ -f $misc/qemu-i386 ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    | as_root tee $misc/register >/dev/null || true
  emulates_32bit
}

# Takes out the emulator's entry where TAVRIN_EMULATE_32BIT made it, so that the machine runs
# 32-bit programs as before.
unemulate_32bit() {
  [ -n "${TAVRIN_EMULATION_ADDED:-}" ] && echo -1 | as_root tee /proc/sys/fs/binfmt_misc/qemu-i386 >/dev/null || true
}

# Debian 13's Wine 10, with its 32-bit half, keeps rules of Windows that this machine's Wine 8 hides
# (a rename onto a read-only file refused; a window that says nothing of DPI drawn at 96 DPI and
# stretched). It lives in a root of its own, made once (a few minutes, 2 GB) and kept for every
# later run; tests/wine10.sh enters it.
WINE10_ROOT=${TAVRIN_WINE10_ROOT:-/var/cache/tavrin/wine10-trixie}
ensure_wine10_root() {
  [ -f "$WINE10_ROOT/.made" ] && return 0
  echo "making the Wine 10 root in $WINE10_ROOT, once"
  as_root rm -rf "$WINE10_ROOT.new"
  as_root mkdir -p "$(dirname "$WINE10_ROOT")"
  . /etc/os-release
  as_root mmdebstrap --quiet --variant=apt --architectures=amd64,i386 \
    --include=wine,wine64,wine32:i386,xvfb,xauth,fonts-wine,mount trixie "$WINE10_ROOT.new" \
    "deb $(debian_archive "$VERSION_CODENAME") trixie main"
  as_root touch "$WINE10_ROOT.new/.made"
  as_root rm -rf "$WINE10_ROOT"
  as_root mv "$WINE10_ROOT.new" "$WINE10_ROOT"
}

