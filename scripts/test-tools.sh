#!/usr/bin/env bash
# The check of the tools (scripts/check-tools.sh) fails, naming what to
# add, when a tool's package leaves setup.sh, and when a command the suites
# call is found outside Debian's packages (a python3 from pyenv).
set -uo pipefail
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

sed 's/ wixl / /' scripts/setup.sh > "$tmp/setup.sh"
bash "$tmp/setup.sh" list | grep -qx wixl && fail "the copy of setup.sh still lists wixl"
if bash scripts/check-tools.sh "$tmp/setup.sh" 2> "$tmp/err"; then
  fail "the check passed without wixl in setup.sh"
elif ! grep -q 'comes from the package wixl, which scripts/setup.sh does not install: add wixl' "$tmp/err"; then
  fail "the check did not name wixl: $(cat "$tmp/err")"
fi

mkdir "$tmp/bin"
printf '#!/bin/sh\nexec /usr/bin/python3 "$@"\n' > "$tmp/bin/python3"
chmod +x "$tmp/bin/python3"
if PATH=$tmp/bin:$PATH bash scripts/check-tools.sh 2> "$tmp/err"; then
  fail "the check passed with a python3 from no package first in PATH"
elif ! grep -q "python3 is $tmp/bin/python3, which no Debian package installed" "$tmp/err"; then
  fail "the check did not name the stray python3: $(cat "$tmp/err")"
fi

[ "$status" = 0 ] && echo "PASS: the check names a package missing from setup.sh and a tool from outside Debian"
exit "$status"
