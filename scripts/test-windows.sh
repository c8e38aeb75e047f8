#!/usr/bin/env bash
# Cross-builds the Windows program and its tests with mingw-w64 and runs them
# under Wine on a private X display. Needs the native simulator of the
# default preset (scripts/test.sh builds it first).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset mingw
cmake --build --preset mingw

exe=build/mingw/app/win32/ZT9047QUpdate.exe
cli=build/mingw/zt9047q-flash.exe
for prog in "$exe" "$cli"; do
  echo "== imports of $prog"
  imports=$(x86_64-w64-mingw32-objdump -p "$prog" | awk '/DLL Name:/ {print toupper($3)}')
  echo "$imports"
  for dll in $imports; do
    case "$dll" in
      KERNEL32.DLL|USER32.DLL|GDI32.DLL|COMCTL32.DLL|SETUPAPI.DLL|ADVAPI32.DLL|WINMM.DLL|MSVCRT.DLL) ;;
      # Winsock: the command line's network ports; the window links no sockets.
      WS2_32.DLL) [ "$prog" = "$cli" ] || { echo "test-windows: $prog imports $dll" >&2; exit 1; } ;;
      *) echo "test-windows: $prog imports $dll, which Windows does not ship" >&2; exit 1 ;;
    esac
  done
done
# The stream's 10 ms ticks need the 1 ms system timer while it runs.
import_table=$(x86_64-w64-mingw32-objdump -p "$exe")
for fn in timeBeginPeriod timeEndPeriod; do
  if ! grep -qw "$fn" <<<"$import_table"; then
    echo "test-windows: $exe does not call $fn" >&2
    exit 1
  fi
done
# The command line: a console program that carries the firmware image and
# asks for the 1 ms timer too.
cli_headers=$(x86_64-w64-mingw32-objdump -p "$cli")
grep -q 'Subsystem.*(Windows CUI)' <<<"$cli_headers" || { echo "test-windows: $cli is not a console program" >&2; exit 1; }
grep -qw timeBeginPeriod <<<"$cli_headers" || { echo "test-windows: $cli does not call timeBeginPeriod" >&2; exit 1; }
cli_resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$cli")
for wanted in '^143 "FILE"' '^128 14 ' '^1 24 ' 'level=""asInvoker""' '^1 VERSIONINFO'; do
  grep -q "$wanted" <<<"$cli_resources" || { echo "test-windows: $cli lacks the resource $wanted" >&2; exit 1; }
done
echo "$cli: console program, FILE 143, icon 128, manifest (asInvoker), version info, timeBeginPeriod: present"
# Both programs carry the build's version (2.20.0 for firmware 2.20).
program_version=$(sed -n 's/^#define ZT_PROGRAM_VERSION_TEXT "\(.*\)"$/\1/p' build/mingw/generated/BuildVersion.h)
for prog in "$exe" "$cli"; do
  prog_resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$prog")
  for field in FileVersion ProductVersion; do
    grep -qF "VALUE \"$field\", \"$program_version\"" <<<"$prog_resources" ||
      { echo "test-windows: $prog: $field is not $program_version" >&2; exit 1; }
  done
done
echo "file and product versions: $program_version"

echo "== resources of $exe"
resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$exe")
for wanted in '^102 DIALOGEX 0, 0, 325, 84' '^100 DIALOGEX 0, 0, 235, 55' '^128 14 ' '^143 "FILE"' \
              '^1 24 ' '^1 VERSIONINFO'; do
  if ! grep -q "$wanted" <<<"$resources"; then
    echo "test-windows: $exe lacks the resource $wanted" >&2
    exit 1
  fi
done
grep -q 'level=""asInvoker""' <<<"$resources"
echo "dialogs 102 and 100, icon 128, FILE 143, manifest (asInvoker), version info: present"

if [ ! -x build/default/zt9047q-sim ]; then
  cmake --preset default
  cmake --build --preset default --target zt9047q-sim
fi

export WINEPREFIX="$PWD/build/mingw/wineprefix"
export WINEDEBUG=-all
# Wine's first start in a prefix is slow: make it once, before the tests.
bash tests/win32/wine-run.sh "$WINEPREFIX" --prepare
wineserver -w

xvfb_pid="" display_file="$(mktemp)"
cleanup() {
  wineserver -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$display_file"
}
trap cleanup EXIT

# A private X display: the server picks a free number and tells it, so that
# concurrent runs never share one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.05
done
export DISPLAY=":$(cat "$display_file")"
for _ in $(seq 50); do
  xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done

# One Wine server for the whole suite. Left to itself, Wine starts a server
# with the first program and (as Debian runs it) ends it the moment the last
# program exits: with two tests at a time a test can start just as that
# server goes away, and the test that started it waits for the server's end,
# because the server and Wine's services keep that test's output pipe open.
# A persistent server with its output detached, started here and stopped at
# the end, has neither.
wineserver -p </dev/null >/dev/null 2>&1
# The first program of a server's life also starts Wine's own services
# (services.exe, winedevice.exe, rpcss.exe...), which keep the standard
# handles they inherit: start them here, detached, not from a test.
bash tests/win32/wine-run.sh "$WINEPREFIX" cmd /c exit </dev/null >/dev/null 2>&1


ctest --preset mingw
