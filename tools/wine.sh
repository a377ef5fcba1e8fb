# Sourced by the tools: a private Wine prefix and display whose registry names an NSIS folder.

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
