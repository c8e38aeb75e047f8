#!/usr/bin/env bash
# Runs a cross-built program under Wine in a private prefix, which it creates
# on first use (once, even when several tests start together).
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]   (WINEPREFIX, when set, wins)
#        wine-run.sh PREFIX --prepare            (only create the prefix)
set -euo pipefail
prefix="${WINEPREFIX:-$1}"
shift
export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko: the prefix is made without asking to download them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

wine=wine
if [ -x /usr/lib/wine/wine64 ]; then wine=/usr/lib/wine/wine64; fi

if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      WINEARCH=win64 wineboot -i >/dev/null 2>&1 || true
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
# Wine draws the title bar buttons with its Marlett font, which Debian's Wine
# ships (fonts-wine) but does not put into a new prefix.
fonts="$prefix/drive_c/windows/Fonts"
if [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ] && [ -f /usr/share/wine/fonts/marlett.ttf ]; then
  cp /usr/share/wine/fonts/marlett.ttf "$fonts/" 2>/dev/null || true
fi
if [ "${1:-}" = "--prepare" ]; then exit 0; fi
exec "$wine" "$@"
