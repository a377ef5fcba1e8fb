# Sourced by the tools and the makensis check: a private Wine prefix and display whose registry
# names an NSIS folder, NSIS trees made from Debian's NSIS, and its makensis.

# The Windows path of a Unix path: Wine's drive Z: is the root of the Unix tree.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# wine_with_nsis STATE NSIS_DIR: makes the prefix in STATE (taken down when the tool exits),
# takes on its environment, and sets HKLM "SOFTWARE\NSIS" in the 32-bit view to NSIS_DIR.
wine_with_nsis() {
  wine_state=$1
  trap 'tests/wine/cleanup.sh "$wine_state"' EXIT
  tests/wine/setup.sh "$wine_state" >/dev/null
  . "$wine_state/env.sh"
  wine reg add 'HKLM\SOFTWARE\NSIS' /ve /d "$(winpath "$2")" /reg:32 /f >/dev/null 2>&1
}

# nsis_tree DIR: makes DIR an NSIS installation as Windows has one, from the NSIS of Debian's nsis
# package (its data folder: Include, Plugins with a folder per target, Stubs...), with the Docs
# and Examples folders of an installation on Windows and a makensis.exe marker at its top.
nsis_tree() {
  rm -rf "$1"
  cp -r /usr/share/nsis "$1"
  mkdir -p "$1/Docs" "$1/Examples"
  printf 'marker: the compiler here is Debian'"'"'s makensis\r\n' >"$1/makensis.exe"
}

# compile_example DIR: Debian's makensis compiles the installed example against the NSIS tree DIR.
compile_example() {
  NSISDIR=$1 makensis -V2 "$1/Examples/Tavrin/TavrinTest.nsi" && [ -s "$1/Examples/Tavrin/TavrinTest.exe" ]
}
