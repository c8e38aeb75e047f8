#!/usr/bin/env bash
# The Windows deliverables. Signing: both programs and the MSI signed with a
# throwaway key in a PKCS#12 file, then with one generated on a SoftHSM
# token (PKCS#11) and time-stamped by a local time-stamp authority; each
# signature verified, the time-stamped one still after its certificate
# expired, and a copy changed after signing refused. Then, under Wine in a
# new private prefix: the MSI installs quietly with README and LICENSE, the
# command line is found by name through PATH, a rebuild of the same version
# and a newer version each leave one installation, an older one is refused,
# and uninstalling leaves nothing of ours behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

work=$(mktemp -d)
prefix="$work/wineprefix"
tsa_pid=""
cleanup() {
  [ -n "$tsa_pid" ] && kill "$tsa_pid" 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
passed=0 failed=0
check() { # check NAME COMMAND...: one case
  local name=$1; shift
  if "$@"; then echo "ok   $name"; passed=$((passed + 1)); else echo "FAIL $name"; failed=$((failed + 1)); fi
}
quiet() { "$@" >/dev/null 2>&1; }
refused() { ! "$@" >/dev/null 2>&1; }

echo "== keys: a test CA, a PKCS#12 file, a key on a SoftHSM token, a time-stamp authority"
export OPENSSL_CONF=/dev/null # no machine-wide engine or provider settings
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZT9047Q test signing/O=QNL test" \
  -keyout "$work/key.pem" -out "$work/cert.pem"
quiet openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
  -out "$work/sign.p12"
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZT9047Q test CA" \
  -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca.key" -out "$work/ca.pem"
# issue NAME CN EXTENSIONS [PUBLIC_KEY]: a certificate of the test CA, for
# NAME.key, or for a public key held elsewhere (the token's).
issue() {
  local name=$1 cn=$2 ext=$3 pub=${4:-}
  quiet openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$cn" -keyout "$work/$name.key" -out "$work/$name.csr"
  printf '%b' "$ext" >"$work/$name.ext"
  quiet openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -days 2 -extfile "$work/$name.ext" ${pub:+-force_pubkey "$pub"} -out "$work/$name.pem"
}
# The token: private to this test; the key is made on it and never leaves it.
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" \
  >"$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
module=/usr/lib/softhsm/libsofthsm2.so
quiet softhsm2-util --init-token --free --label zt-sign --pin 4711 --so-pin 0815
quiet pkcs11-tool --module "$module" --token-label zt-sign --login --pin 4711 \
  --keypairgen --key-type rsa:2048 --id 01 --label codesign
quiet pkcs11-tool --module "$module" --token-label zt-sign --read-object --type pubkey --id 01 -o "$work/token-pub.der"
openssl pkey -pubin -inform DER -in "$work/token-pub.der" -out "$work/token-pub.pem"
issue token "ZT9047Q test signing on a token" \
  'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n' "$work/token-pub.pem"
cat "$work/token.pem" "$work/ca.pem" >"$work/token-chain.pem"
issue tsa "ZT9047Q test time-stamps" \
  'extendedKeyUsage=critical,timeStamping\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n'
echo 01 >"$work/tsa.serial"
cat >"$work/tsa.cnf" <<CONF
[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = $work/tsa.serial
crypto_device = builtin
signer_cert = $work/tsa.pem
certs = $work/ca.pem
signer_key = $work/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
CONF
exec 3< <(exec /usr/bin/python3 tests/installer/tsa-responder.py "$work/tsa.cnf")
tsa_pid=$!
read -r -t 30 tsa_port <&3 || { echo "the time-stamp authority did not start"; exit 1; }

cmake --preset mingw >/dev/null
dist=build/mingw/dist
version=$(sed -n 's/^#define ZT_PROGRAM_VERSION_TEXT "\(.*\)"$/\1/p' build/mingw/generated/BuildVersion.h)
msi="$dist/ZT9047QUpdate-$version.msi"
zip="$dist/ZT9047QUpdate-$version-portable.zip"
signed=("$dist/stage/ZT9047QUpdate.exe" "$dist/stage/zt9047q-flash.exe" "$msi")
# tamper FILE: a copy of FILE with one byte changed in the middle.
tamper() {
  cp "$1" "$work/tampered"
  local size; size=$(stat -c %s "$work/tampered")
  printf '\x5a' | dd of="$work/tampered" bs=1 seek=$((size / 2)) conv=notrunc status=none
}
# Two days after the certificates expire.
later=$(( $(date +%s) + 4 * 86400 ))

echo "== signed with a key in a PKCS#12 file"
ZT_SIGN_PKCS12="$work/sign.p12" ZT_SIGN_PASSWORD=throwaway \
  cmake --build --preset mingw --target windows-dist | tee "$work/dist.log" | grep -E 'Signed|UNSIGNED|Made' || true
verify() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >"$work/verify.log" 2>&1; }
for f in "${signed[@]}"; do
  check "signature of $(basename "$f") verifies" verify "$f"
done
cp "$dist/stage/zt9047q-flash.exe" "$work/unstamped.exe"
tamper "$dist/stage/zt9047q-flash.exe"
check "a copy changed after signing does not verify" refused verify "$work/tampered"
check "the portable zip holds both programs, README and LICENSE" bash -c \
  'l=$(unzip -Z1 "$1"); for f in ZT9047QUpdate.exe zt9047q-flash.exe README.md LICENSE; do grep -q "/$f\$" <<<"$l" || exit 1; done' _ "$zip"

echo "== signed with a key on a PKCS#11 token, time-stamped"
token_env=(ZT_SIGN_PKCS11_MODULE="$module" ZT_SIGN_PKCS11_KEY="pkcs11:token=zt-sign;object=codesign;type=private"
           ZT_SIGN_CERT="$work/token-chain.pem")
check "a wrong PIN fails the build" refused env "${token_env[@]}" ZT_SIGN_PIN=0000 \
  cmake --build --preset mingw --target windows-dist
check "and leaves no copy of the PIN behind" bash -c '! ls -A "$1" | grep -q "^\.pass"' _ "$dist"
# The PIN in the URI instead: it signs, and the build's output does not show it.
env "${token_env[@]/%type=private/type=private;pin-value=4711}" \
  cmake --build --preset mingw --target windows-dist >"$work/uri-pin.log" 2>&1 || true
check "the PIN in the key's URI signs too" bash -c 'osslsigncode verify -CAfile "$1" -in "$2" >/dev/null 2>&1' _ "$work/ca.pem" "$msi"
check "and the build's output does not show it" refused grep -q 4711 "$work/uri-pin.log"
# osslsigncode names the key, URI and all, when it cannot sign with it.
check "a key the token does not hold fails the build" refused env "${token_env[@]/%object=codesign;type=private/object=none;type=private;pin-value=4711}" \
  bash -c 'cmake --build --preset mingw --target windows-dist >"$0" 2>&1' "$work/no-key.log"
check "and its message does not show the PIN" bash -c 'grep -q "private key" "$1" && ! grep -q 4711 "$1"' _ "$work/no-key.log"
env "${token_env[@]}" ZT_SIGN_PIN=4711 ZT_SIGN_TIMESTAMP_URL="http://127.0.0.1:$tsa_port/" \
  cmake --build --preset mingw --target windows-dist | tee "$work/dist.log" | grep -E 'Signing|Signed|UNSIGNED|Made' || true
verify_token() { osslsigncode verify -CAfile "$work/ca.pem" -TSA-CAfile "$work/ca.pem" -in "$@" >"$work/verify.log" 2>&1; }
stamped() { verify_token "$1" && grep -q '^[[:space:]]*Timestamp time:' "$work/verify.log"; }
for f in "${signed[@]}"; do
  check "token signature of $(basename "$f") verifies and is time-stamped" stamped "$f"
done
check "after the certificate expired, the time-stamped signature verifies" \
  verify_token "$dist/stage/zt9047q-flash.exe" -time "$later"
check "after the certificate expired, one without a time-stamp does not" \
  refused osslsigncode verify -CAfile "$work/cert.pem" -time "$later" -in "$work/unstamped.exe"
tamper "$msi"
check "a copy of the MSI changed after signing does not verify" refused verify_token "$work/tampered"

echo "== MSI under Wine (prefix $prefix)"
export WINEDEBUG=-all
bash tests/win32/wine-run.sh "$prefix" --prepare
export WINEPREFIX="$prefix"
run() { bash "$root/tests/win32/wine-run.sh" "$prefix" "$@" </dev/null; }
winpath() { echo "Z:$(sed 's|/|\\|g' <<<"$1")"; }
# More MSIs of the same programs: a rebuild of this version (a product code
# of its own) and a newer version.
newer_version=2.31.0
[ "$(printf '%s\n' "$version" "$newer_version" | sort -V | head -1)" = "$version" ] &&
  [ "$version" != "$newer_version" ] || { echo "this build's $version is not older than $newer_version"; exit 1; }
make_msi() { # make_msi VERSION FILE
  cmake -DVERSION="$1" -DDIST_DIR="$dist" -DMSI="$2" -DSOURCE_DIR="$PWD" -P cmake/MakeMsi.cmake
}
make_msi "$version" "$work/rebuild.msi"
make_msi "$newer_version" "$work/newer.msi"
cp "$msi" "$work/built.msi"

dir="$prefix/drive_c/Program Files/ZT9047Q Firmware Update"
# Wine puts even a per-machine shortcut into the user's Start menu: look
# for it in the whole prefix.
shortcut() { find "$prefix/drive_c" -path '*Start Menu/Programs/ZT9047Q Firmware Update.lnk' | grep -q .; }
uninstall_entries() { # DisplayVersion of each uninstall entry of ours
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '/^HKEY/ {ours = 0} /DisplayName.*ZT9047Q Firmware Update/ {ours = 1} ours && /DisplayVersion/ {print $NF}'
}
installed() { test -f "$dir/ZT9047QUpdate.exe" -a -f "$dir/zt9047q-flash.exe"; }
# A new console, started elsewhere, runs the command line by its name alone.
by_name() { (cd "$work" && run cmd /c zt9047q-flash.exe --version 2>&1) | grep -q "^zt9047q-flash $version"; }
path_count() { # how often the install folder is in the machine's PATH
  run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH | tr -d '\r' |
    grep -o 'C:\\Program Files\\ZT9047Q Firmware Update' | wc -l
}
msiexec_i() { run msiexec /i "$(winpath "$1")" /qn; }

msiexec_i "$work/built.msi"
check "msiexec /i installs both programs" installed
check "README and LICENSE are beside them" test -f "$dir/README.md" -a -f "$dir/LICENSE"
check "the installed zt9047q-flash.exe --version runs" bash -c 'bash tests/win32/wine-run.sh "$1" "$2" --version </dev/null | grep -q "$3"' _ "$prefix" "$dir/zt9047q-flash.exe" "${version%.*}"
check "a new console finds zt9047q-flash.exe by name" by_name
# Windows refuses the records and the page (exit 2): its help must not offer them.
linux_only() { run "$dir/zt9047q-flash.exe" --help | tr -d '\r' | grep -E '^ +--(record|records|spool|serve|serve-token)\b|\[--(record|serve)|--records TARGET'; }
check "its --help offers no option that Windows refuses" refused linux_only
check "the Start-menu shortcut exists" shortcut
check "one Add/Remove Programs entry, version $version" test "$(uninstall_entries)" = "$version"

msiexec_i "$work/rebuild.msi"
check "a rebuild of $version leaves one entry, version $version" test "$(uninstall_entries)" = "$version"
check "the programs are still there after the rebuild" installed

msiexec_i "$work/newer.msi"
check "$newer_version over $version leaves one entry, of $newer_version" test "$(uninstall_entries)" = "$newer_version"
check "the programs are still there after the upgrade" installed
check "the shortcut is still there after the upgrade" shortcut
check "the folder is in PATH once after two replacements" test "$(path_count)" = 1

status=0
msiexec_i "$work/built.msi" || status=$?
check "$version over $newer_version is refused" test "$status" -ne 0
check "and $newer_version stays, alone" test "$(uninstall_entries)" = "$newer_version"
check "and its programs stay" installed

run msiexec /x "$(winpath "$work/newer.msi")" /qn
check "msiexec /x leaves no program folder" test ! -e "$dir"
check "msiexec /x leaves no shortcut" bash -c '! find "$1/drive_c" -name "ZT9047Q Firmware Update.lnk" | grep -q .' _ "$prefix"
check "msiexec /x leaves no Add/Remove Programs entry" test -z "$(uninstall_entries)"
check "msiexec /x takes the folder out of PATH" test "$(path_count)" = 0
check "a new console no longer finds zt9047q-flash.exe" refused by_name

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
