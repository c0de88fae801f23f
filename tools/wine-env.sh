# Sourced by the scripts that run Windows programs: a Wine prefix of the
# project's own inside the build tree, never ~/.wine.
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${TALVOREN_WINEPREFIX:-$repo_root/build/wine-prefix}"
export WINEARCH=win64
export WINEDEBUG=-all
export LANG=C.UTF-8
# No crash debugger: a crashing test must fail, not hang behind a dialog.
export WINEDLLOVERRIDES="winedbg.exe=d"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINE WINESERVER
