# Sourced by the tools: installs with apt-get whatever of the build and test kit is missing.
# The packages: CMake, the two MinGW-w64 cross compilers, 64-bit Wine, Xvfb, GoogleTest's
# sources, Python for the file checks, clang with its sanitizer and fuzzer runtimes for the
# native checks of the text composition, and xwd with ImageMagick for the demo's screenshots.
TAVRIN_PACKAGES="cmake make g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  binutils-mingw-w64-x86-64 wine wine64 xvfb googletest python3 clang libclang-rt-14-dev
  x11-apps imagemagick"

ensure_packages() {
  local missing=() p
  for p in $TAVRIN_PACKAGES "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}
