#!/bin/bash
# Makes a signed release twice with a throw-away CA, code-signing certificate and OpenPGP key
# (once from the PKCS#12 file, once from the same certificate and key as PEM files) and checks
# the four Authenticode signatures against the CA, a changed byte, the images in the zip and
# the packages, the built images (unsigned still), SHA256SUMS.asc, that both runs are the
# same and that the signatures carry the start of the keys, which were made long after the
# commit; then that unusable keys stop the release with the reason and leave nothing behind.
set -uo pipefail
source "$(dirname "$0")/release_common.sh"
export GNUPGHOME=$work/gnupg
trap 'gpgconf --kill gpg-agent 2>/dev/null; rm -rf "$work"' EXIT
keys=$work/keys
bash "$root/tests/release/make_certificates.sh" "$keys" || { echo "FAILED: making the certificates"; exit 1; }
mkdir -m 700 "$GNUPGHOME"
gpg --batch --passphrase '' --quick-gen-key 'Sorvanel throw-away <release@example.invalid>' \
  ed25519 sign never 2>/dev/null || { echo "FAILED: making the OpenPGP key"; exit 1; }
gpg_key=$(gpg --batch --with-colons --list-secret-keys 2>/dev/null | awk -F: '$1 == "fpr" {print $10; exit}')
# Two keys that cannot sign the release: one whose only signing key expires at once, and one
# whose passphrase gpg may not ask for (pinentry-mode error, set once they are made).
gpg --batch --passphrase '' --quick-gen-key sorvanel-expired ed25519 sign seconds=1 2>/dev/null &&
  gpg --batch --pinentry-mode loopback --passphrase locked --quick-gen-key sorvanel-locked \
    ed25519 sign never 2>/dev/null && echo 'pinentry-mode error' >"$GNUPGHOME/gpg.conf" ||
  { echo "FAILED: making the unusable OpenPGP keys"; exit 1; }
# The release's time: a commit made long before the certificates and the key.
export SOURCE_DATE_EPOCH=1700000000
built=$(sha256sum "$root"/build/windows-x*/sorvanel.exe)

# release <folder> <NAME=value>...: the release script with only those keys; signed: one
# that must succeed.
release() {
  env -u SORVANEL_SIGN_PFX -u SORVANEL_SIGN_PASSWORD_FILE -u SORVANEL_SIGN_CERT -u SORVANEL_SIGN_KEY \
    -u SORVANEL_TIMESTAMP_URL -u SORVANEL_GPG_KEY "${@:2}" bash "$root/scripts/release.sh" "$1" >"$1.log" 2>&1
}
signed() {
  release "$@" || { cat "$1.log"; echo "FAILED: the signed release $1"; exit 1; }
}
signed "$work/first" SORVANEL_SIGN_PFX="$keys/signer.pfx" SORVANEL_SIGN_PASSWORD_FILE="$keys/password" \
  SORVANEL_GPG_KEY="$gpg_key"
signed "$work/second" SORVANEL_SIGN_CERT="$keys/signer.pem" SORVANEL_SIGN_KEY="$keys/signer.key" \
  SORVANEL_GPG_KEY="$gpg_key"

dist=$work/first
expected="SHA256SUMS SHA256SUMS.asc sorvanel-$version-linux-$(uname -m).tar.gz sorvanel-$version-windows-x64.msi \
sorvanel-$version-windows-x86.msi sorvanel-$version-windows.zip"
[[ "$(cd "$dist" && echo $(ls))" == "$expected" ]] || fail "dist holds $(ls "$dist"), not $expected"
for file in $expected; do
  cmp -s "$dist/$file" "$work/second/$file" || fail "$file differs between two signed runs"
done
[[ "$(sha256sum "$root"/build/windows-x*/sorvanel.exe)" == "$built" ]] || fail "the built images changed"
gpg --batch --verify "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS" 2>/dev/null || fail "SHA256SUMS.asc does not verify"
[[ "$(head -n 1 "$dist/SHA256SUMS.asc")" == "-----BEGIN PGP SIGNATURE-----" ]] || fail "SHA256SUMS.asc is not armoured"
created=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "sec" {print $6; exit}')
signed_at=$(gpg --batch --status-fd 1 --verify "$dist/SHA256SUMS.asc" "$dist/SHA256SUMS" 2>/dev/null | awk '$2 == "VALIDSIG" {print $5}')
[[ "$signed_at" == "$created" ]] || fail "SHA256SUMS.asc is dated $signed_at, not at the key's creation $created"

starts=$(openssl x509 -in "$keys/leaf.pem" -noout -startdate | cut -d= -f2)
verifies() {
  osslsigncode verify -CAfile "$keys/ca.pem" -in "$1" >"$work/verify.log" 2>&1
}
unzip -q "$dist/sorvanel-$version-windows.zip" -d "$work/zip" || fail "cannot unpack the zip"
for arch in x64 x86; do
  image=$work/zip/$arch/sorvanel.exe
  verifies "$image" && grep -qx 'Message digest algorithm  : SHA256' "$work/verify.log" &&
    grep -qxF $'\tText description: Sorvanel' "$work/verify.log" && grep -qxF $'\tSigning time: '"$starts" "$work/verify.log" ||
    fail "$arch/sorvanel.exe in the zip has no SHA-256 signature for Sorvanel, dated $starts, that verifies: $(cat "$work/verify.log")"
  msi=$dist/sorvanel-$version-windows-$arch.msi
  verifies "$msi" || fail "$(basename "$msi") does not verify: $(cat "$work/verify.log")"
  mkdir -p "$work/msi-$arch"
  (cd "$work/msi-$arch" && msiextract "$msi" >/dev/null) || fail "msiextract cannot unpack $msi"
  cmp -s "$(find "$work/msi-$arch" -name sorvanel.exe)" "$image" || fail "$(basename "$msi") does not hold the signed image"
done
printf '\xff' | dd of="$work/zip/x64/sorvanel.exe" bs=1 seek=2000 conv=notrunc status=none
verifies "$work/zip/x64/sorvanel.exe" && fail "x64/sorvanel.exe with one byte changed still verifies"

# Unusable keys: each stops the release, naming the problem (* stands for any text), and leaves
# no package behind.
printf 'not the password\n' >"$keys/wrong-password"
while IFS='|' read -r case problem settings; do
  out=$work/$case
  # shellcheck disable=SC2086 # the settings are words, paths without blanks
  if release "$out" ${settings//@/$keys/}; then
    fail "the release with $case did not stop"
  elif [[ "$(cat "$out.log")" != *${problem//@/$keys/}* ]]; then
    fail "the release with $case does not say \"${problem//@/$keys/}\": $(cat "$out.log")"
  fi
  [[ -z "$(ls -A "$out" 2>/dev/null)" ]] || fail "the release with $case left $(ls "$out") behind"
done <<'CASES'
wrong-password|password in @wrong-password does not open @signer.pfx (wrong password)|SORVANEL_SIGN_PFX=@signer.pfx SORVANEL_SIGN_PASSWORD_FILE=@wrong-password
expired-certificate|the certificate in @expired.pem expired on * UTC, before the signatures' time|SORVANEL_SIGN_CERT=@expired.pem SORVANEL_SIGN_KEY=@signer.key
mismatched-key|the key in @other.key does not belong to the certificate in @signer.pem|SORVANEL_SIGN_CERT=@signer.pem SORVANEL_SIGN_KEY=@other.key
chain-without-its-ca|does not verify right after signing|SORVANEL_SIGN_CERT=@leaf.pem SORVANEL_SIGN_KEY=@signer.key
unknown-openpgp-key|no secret OpenPGP key 0123456789ABCDEF|SORVANEL_GPG_KEY=0123456789ABCDEF
expired-openpgp-key|the OpenPGP key sorvanel-expired has no key that can sign|SORVANEL_GPG_KEY=sorvanel-expired
locked-openpgp-key|gpg: signing failed: *release: signing SHA256SUMS with the OpenPGP key * failed: gpg could not get the key's passphrase|SORVANEL_GPG_KEY=sorvanel-locked
CASES

echo "signed release: $failures failed checks"
[[ $failures -eq 0 ]]
