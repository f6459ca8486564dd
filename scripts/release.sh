#!/bin/bash
# Builds sorvanel.exe (x64 and x86) and the Linux program and packs the release:
#   sorvanel-<version>-windows.zip             x64/ and x86/sorvanel.exe, README.txt,
#                                              LICENSE.txt, sorvanel.ini.example (CR LF)
#   sorvanel-<version>-windows-x64.msi         the Windows Installer packages (per machine, into
#   sorvanel-<version>-windows-x86.msi         Program Files\Sorvanel, with the service), made
#                                              by packaging/windows/msi.sh
#   sorvanel-<version>-linux-<machine>.tar.gz  sorvanel-<version>/: the program, its man page
#                                              sorvanel.1, README.md, LICENSE
#   SHA256SUMS                                 the checksums of all of them
#   SHA256SUMS.asc                             with SORVANEL_GPG_KEY: its OpenPGP signature
# into dist/, or into the folder given as the only argument. The version is the one in
# src/version.h. Two runs over the same sources give byte-identical packages: every file
# carries one fixed time (SOURCE_DATE_EPOCH, else the time of the last commit), the files
# stand in a fixed order with fixed modes, and no owner names, time zones or compression
# timestamps get in. Installs what it needs first, as the other scripts do.
#
# Given a certificate (SORVANEL_SIGN_PFX and SORVANEL_SIGN_PASSWORD_FILE, or SORVANEL_SIGN_CERT
# and SORVANEL_SIGN_KEY; see packaging/windows/sign.sh), both images are signed with
# Authenticode before they are packed, so the zip and the packages carry the signed ones, and
# then both packages. Given SORVANEL_GPG_KEY, an OpenPGP key id in GNUPGHOME, SHA256SUMS gets
# a detached ASCII-armoured signature. Without a timestamp server (SORVANEL_TIMESTAMP_URL)
# each signature carries the later of the files' fixed time and the start of the key or
# certificate that signs (a key made after the commit cannot sign at the commit's time), so
# signed runs with the same keys are byte-identical too. Everything is made in a temporary folder and moved to dist/ only
# when it is all signed and verified.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${1:-dist}

bash scripts/setup.sh

export LC_ALL=C TZ=UTC
umask 022

version=$(sed -nE 's/^#define SORVANEL_VERSION_TEXT "([0-9.]+)"[[:space:]]*$/\1/p' src/version.h)
if [[ -z "$version" ]]; then
  echo "release: no SORVANEL_VERSION_TEXT in src/version.h" >&2
  exit 1
fi
# The time every packed file carries: SOURCE_DATE_EPOCH, else the last commit's, else (a
# tree without its history) a fixed one, 2026-01-01 00:00 UTC.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || true)
fi
if [[ -z "$SOURCE_DATE_EPOCH" ]]; then
  SOURCE_DATE_EPOCH=1767225600
fi
if [[ ! "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]]; then
  echo "release: SOURCE_DATE_EPOCH must be seconds since 1970, not $SOURCE_DATE_EPOCH" >&2
  exit 1
fi
stamp="@$SOURCE_DATE_EPOCH"
machine=$(uname -m)

# The keys are checked before anything is built, so that an unusable one stops the release
# at once, with what is wrong with it.
authenticode=${SORVANEL_SIGN_PFX:-}${SORVANEL_SIGN_PASSWORD_FILE:-}${SORVANEL_SIGN_CERT:-}${SORVANEL_SIGN_KEY:-}
openpgp=${SORVANEL_GPG_KEY:-}
if [[ -n "$authenticode" ]]; then
  SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH bash packaging/windows/sign.sh ||
    { echo "release: the certificate cannot sign" >&2; exit 1; }
fi
utc() { date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'; }
if [[ -n "$openpgp" ]]; then
  if ! gpg --batch --list-secret-keys "$openpgp" >/dev/null 2>&1; then
    echo "release: no secret OpenPGP key $openpgp in ${GNUPGHOME:-$HOME/.gnupg}" >&2
    exit 1
  fi
  # The key that signs is the newest of the key and its subkeys that may sign and is neither
  # revoked nor expired, whose secret part is here (gpg's own choice); it signs at the later
  # of the release's time and its creation, since gpg refuses a time before a key was made.
  read -r gpg_signer gpg_created gpg_expires < <(gpg --batch --with-colons --fixed-list-mode \
    --list-secret-keys -- "$openpgp" 2>/dev/null | awk -F: '
      $1 == "sec" || $1 == "ssb" { usable = $12 ~ /s/ && $2 !~ /[deir]/ && $15 != "#"; created = $6; expires = $7 }
      $1 == "fpr" && usable && (signer == "" || created + 0 >= newest) { signer = $10; newest = created + 0; until = expires }
      $1 == "fpr" { usable = 0 }
      END { if (signer != "") print signer, newest, (until == "" ? "never" : until) }') || true
  if [[ -z "${gpg_signer:-}" ]]; then
    echo "release: the OpenPGP key $openpgp has no key that can sign: it and its subkeys are expired or revoked, may not sign, or their secret parts are elsewhere; extend it (gpg --quick-set-expire) or name another key" >&2
    exit 1
  fi
  gpg_time=$SOURCE_DATE_EPOCH gpg_why="the release's time"
  ((gpg_created <= gpg_time)) || gpg_time=$gpg_created gpg_why="the key's creation, later than the release's time"
  if [[ $gpg_expires != never ]] && ((gpg_expires <= gpg_time)); then
    echo "release: the OpenPGP key $gpg_signer expires on $(utc "$gpg_expires"), before the signature's time $(utc "$gpg_time") ($gpg_why): extend it (gpg --quick-set-expire) or name another key" >&2
    exit 1
  fi
  echo "release: OpenPGP signature dated $(utc "$gpg_time") ($gpg_why)"
fi
if [[ -z "$authenticode" && -z "$openpgp" ]]; then
  echo "release: not signed (no SORVANEL_SIGN_PFX or SORVANEL_SIGN_CERT, no SORVANEL_GPG_KEY)"
elif [[ -z "$authenticode" ]]; then
  echo "release: Windows files not signed (no SORVANEL_SIGN_PFX or SORVANEL_SIGN_CERT)"
elif [[ -z "$openpgp" ]]; then
  echo "release: SHA256SUMS not signed (no SORVANEL_GPG_KEY)"
fi

# The already-built presets are reused; the Windows images are reproducible builds.
for preset in windows-x64 windows-x86 linux; do
  log="build/release-$preset.log"
  mkdir -p build
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "release: building $preset failed" >&2
    exit 1
  fi
done

staging=$(mktemp -d)
trap 'rm -rf "$staging"' EXIT

# Text with @VERSION@ and @DATE@ filled in; crlf gives every line a CR LF end.
fill() {
  sed -e "s/@VERSION@/$version/g" -e "s/@DATE@/$(date -u -d "$stamp" +%Y-%m-%d)/g" "$1"
}
crlf() {
  sed -e 's/\r$//' -e 's/$/\r/' "$1"
}
# Authenticode signatures, in place, at the release's time; a failure ends the release here,
# before anything of it reaches the release folder.
sign() {
  SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH bash packaging/windows/sign.sh "$@" ||
    { echo "release: stopped: a file could not be signed, nothing was released" >&2; exit 1; }
}

# The Windows package.
windows=$staging/windows
mkdir -p "$windows/x64" "$windows/x86"
cp build/windows-x64/sorvanel.exe "$windows/x64/sorvanel.exe"
cp build/windows-x86/sorvanel.exe "$windows/x86/sorvanel.exe"
# Signed before they are packed: the zip and the packages hold the signed images.
if [[ -n "$authenticode" ]]; then
  sign "$windows/x64/sorvanel.exe" "$windows/x86/sorvanel.exe"
fi
fill packaging/windows/README.txt | crlf /dev/stdin >"$windows/README.txt"
crlf LICENSE >"$windows/LICENSE.txt"
crlf packaging/windows/sorvanel.ini.example >"$windows/sorvanel.ini.example"
windows_files=(README.txt LICENSE.txt sorvanel.ini.example x64/sorvanel.exe x86/sorvanel.exe)

# The Linux package.
linux_name=sorvanel-$version
linux=$staging/linux/$linux_name
mkdir -p "$linux"
strip --strip-all -o "$linux/sorvanel" build/linux/sorvanel
fill packaging/linux/sorvanel.1 >"$linux/sorvanel.1"
cp README.md "$linux/README.md"
cp LICENSE "$linux/LICENSE"

# Fixed modes and one fixed time for everything that is packed.
find "$staging" -type d -exec chmod 755 {} +
find "$staging" -type f -exec chmod 644 {} +
chmod 755 "$windows/x64/sorvanel.exe" "$windows/x86/sorvanel.exe" "$linux/sorvanel"
find "$staging" -exec touch -h -d "$stamp" {} +

mkdir -p "$out"
out=$(cd "$out" && pwd)
zip_name=sorvanel-$version-windows.zip
msi_names=(sorvanel-$version-windows-x64.msi sorvanel-$version-windows-x86.msi)
tar_name=sorvanel-$version-linux-$machine.tar.gz
rm -f "$out/$zip_name" "${msi_names[@]/#/$out/}" "$out/$tar_name" "$out/SHA256SUMS" "$out/SHA256SUMS.asc"

# zip -X: no owner ids or extra time fields; -D: no folder entries; the list fixes the order.
(cd "$windows" && zip -q -X -D -9 "$staging/$zip_name" "${windows_files[@]}")
tar -C "$staging/linux" --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
  --mtime="$stamp" -cf - "$linux_name" | gzip -9 -n >"$staging/$tar_name"

# The Windows Installer packages install the same files as the zip holds.
for arch in x64 x86; do
  mkdir -p "$staging/msi-$arch"
  cp -p "$windows/$arch/sorvanel.exe" "$windows/README.txt" "$windows/LICENSE.txt" \
    "$windows/sorvanel.ini.example" "$staging/msi-$arch/"
  SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH bash packaging/windows/msi.sh "$arch" "$version" \
    "$staging/msi-$arch" "$staging/sorvanel-$version-windows-$arch.msi"
done
if [[ -n "$authenticode" ]]; then
  sign "${msi_names[@]/#/$staging/}"
fi

sums=(SHA256SUMS)
(cd "$staging" && sha256sum "$zip_name" "${msi_names[@]}" "$tar_name" >SHA256SUMS)
if [[ -n "$openpgp" ]]; then
  # gpg's clock stands still at the signature's time, which the signature then carries; the
  # "!" holds gpg to the key chosen above.
  if ! gpg --batch --yes --local-user "$gpg_signer!" --faked-system-time "$gpg_time!" --armor \
    --detach-sign --output "$staging/SHA256SUMS.asc" "$staging/SHA256SUMS" >"$staging/gpg.log" 2>&1 ||
    ! gpg --batch --verify "$staging/SHA256SUMS.asc" "$staging/SHA256SUMS" >>"$staging/gpg.log" 2>&1; then
    cat "$staging/gpg.log" >&2
    # After gpg's own words, what went wrong and what to do.
    if grep -qiE 'passphrase|pinentry|ioctl|cancel' "$staging/gpg.log"; then
      advice="gpg could not get the key's passphrase without asking: unlock the key in gpg-agent first (sign any file with it once), then run the release again"
    elif grep -qi 'unusable secret key' "$staging/gpg.log"; then
      advice="gpg finds the key unusable at $(utc "$gpg_time") ($gpg_why): check its dates and capabilities with gpg --list-secret-keys $openpgp, or name another key"
    else
      advice="see gpg's words above; gpg --list-secret-keys $openpgp shows the key"
    fi
    echo "release: signing SHA256SUMS with the OpenPGP key $gpg_signer (of $openpgp) failed: $advice" >&2
    exit 1
  fi
  sums+=(SHA256SUMS.asc)
fi

mv "$staging/$zip_name" "${msi_names[@]/#/$staging/}" "$staging/$tar_name" "${sums[@]/#/$staging/}" "$out/"
for name in "$zip_name" "${msi_names[@]}" "$tar_name" "${sums[@]}"; do echo "release: $out/$name"; done
