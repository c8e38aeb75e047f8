#!/usr/bin/env bash
# The Windows deliverables: both programs and the MSI signed with a throwaway
# self-signed certificate, each signature verified against it and a copy
# changed after signing refused; then, under Wine in a new private prefix,
# the MSI installs quietly, the installed zt9047q-flash.exe runs, the
# Start-menu shortcut is there, a newer MSI replaces the installation, and
# uninstalling leaves no file of ours behind.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
prefix="$work/wineprefix"
cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0
check() { # check NAME COMMAND...: one case
  local name=$1; shift
  if "$@"; then echo "ok   $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
}

echo "== signed build"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZT9047Q test signing/O=QNL test" \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
  -out "$work/sign.p12" >/dev/null 2>&1
cmake --preset mingw >/dev/null
ZT_SIGN_PKCS12="$work/sign.p12" ZT_SIGN_PASSWORD=throwaway \
  cmake --build --preset mingw --target windows-dist | tee "$work/dist.log" | grep -E 'Signed|UNSIGNED|Made' || true
dist=build/mingw/dist
version=$(sed -n 's/^#define ZT_PROGRAM_VERSION_TEXT "\(.*\)"$/\1/p' build/mingw/generated/BuildVersion.h)
msi="$dist/ZT9047QUpdate-$version.msi"
zip="$dist/ZT9047QUpdate-$version-portable.zip"
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }
for f in "$dist/stage/ZT9047QUpdate.exe" "$dist/stage/zt9047q-flash.exe" "$msi"; do
  check "signature of $(basename "$f") verifies" verify "$f"
done
# One byte changed after signing, in the middle of the program's code.
cp "$dist/stage/zt9047q-flash.exe" "$work/tampered.exe"
size=$(stat -c %s "$work/tampered.exe")
printf '\x5a' | dd of="$work/tampered.exe" bs=1 seek=$((size / 2)) conv=notrunc status=none
check "a copy changed after signing does not verify" bash -c '! osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ "$work/cert.pem" "$work/tampered.exe"
check "the portable zip holds both programs, README and LICENSE" bash -c \
  'l=$(unzip -Z1 "$1"); for f in ZT9047QUpdate.exe zt9047q-flash.exe README.md LICENSE; do grep -q "/$f\$" <<<"$l" || exit 1; done' _ "$zip"

echo "== MSI under Wine (prefix $prefix)"
export WINEDEBUG=-all
bash tests/win32/wine-run.sh "$prefix" --prepare
export WINEPREFIX="$prefix"
run() { bash tests/win32/wine-run.sh "$prefix" "$@" </dev/null; }
# A second MSI of the same programs with a higher version, for the upgrade.
newer="$work/newer.msi"
(cd "$dist" && wixl -a x64 -D Version=99.0.0 -D StageDir=stage -D IconFile=stage/zt9047q.ico \
   -o "$newer" "$PWD/../../../installer/zt9047q.wxs") 2>/dev/null
cp "$msi" "$work/older.msi"

dir="$prefix/drive_c/Program Files/ZT9047Q Firmware Update"
# Wine puts even a per-machine shortcut into the user's Start menu: look
# for it in the whole prefix.
shortcut() { find "$prefix/drive_c" -path '*Start Menu/Programs/ZT9047Q Firmware Update.lnk' | grep -q .; }
uninstall_entries() { # DisplayVersion of each uninstall entry of ours
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ {ours = 0} /DisplayName.*ZT9047Q Firmware Update/ {ours = 1} ours && /DisplayVersion/ {print $NF}'
}

run msiexec /i 'Z:'"$(sed 's|/|\\|g' <<<"$work/older.msi")" /qn
check "msiexec /i installs both programs" test -f "$dir/ZT9047QUpdate.exe" -a -f "$dir/zt9047q-flash.exe"
check "the installed zt9047q-flash.exe --version runs" bash -c 'run() { bash tests/win32/wine-run.sh "$1" "$2" --version </dev/null; }; run "$1" "$2" | grep -q "$3"' _ "$prefix" "$dir/zt9047q-flash.exe" "${version%.*}"
check "the Start-menu shortcut exists" shortcut
check "one Add/Remove Programs entry, version $version" test "$(uninstall_entries)" = "$version"

run msiexec /i 'Z:'"$(sed 's|/|\\|g' <<<"$newer")" /qn
check "a newer MSI leaves one installation, of the newer version" test "$(uninstall_entries)" = "99.0.0"
check "the programs are still there after the upgrade" bash -c 'test -f "$1/ZT9047QUpdate.exe" -a -f "$1/zt9047q-flash.exe"' _ "$dir"
check "the shortcut is still there after the upgrade" shortcut

run msiexec /x 'Z:'"$(sed 's|/|\\|g' <<<"$newer")" /qn
check "msiexec /x leaves no program folder" test ! -e "$dir"
check "msiexec /x leaves no shortcut" bash -c '! find "$1/drive_c" -name "ZT9047Q Firmware Update.lnk" | grep -q .' _ "$prefix"
check "msiexec /x leaves no Add/Remove Programs entry" test -z "$(uninstall_entries)"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
