#!/bin/bash
# Signs Windows images and Windows Installer packages with Authenticode (Debian's
# osslsigncode), each in place, with the certificate that the environment names:
#   SORVANEL_SIGN_PFX and SORVANEL_SIGN_PASSWORD_FILE   a PKCS#12 file, and a file whose
#                                                       first line is its password
#   SORVANEL_SIGN_CERT and SORVANEL_SIGN_KEY            a PEM chain (signing certificate
#                                                       first) and its unencrypted PEM key
#   SORVANEL_TIMESTAMP_URL                              optional: an RFC 3161 timestamp server
#   sign.sh [<file>...]
# First it checks the certificate with openssl, whose findings are plainer than
# osslsigncode's: the password opens the file, the key belongs to the certificate, the
# certificate is valid now and at the signatures' time. Without files it says that time and
# stops there. Each file is signed with SHA-256 and the program name Sorvanel (no web
# address: the project has none). Without a timestamp server the signatures' time is the
# later of SOURCE_DATE_EPOCH (else 2026-01-01 00:00 UTC) and the certificate's start
# (notBefore), so a certificate made after the commit still signs it, and the same key gives
# the same bytes. A file is replaced only by a signed copy that verifies against the chain's
# own certificates and the system's CA certificates. The password goes to the tools in
# files, never on a command line.
set -euo pipefail
export LC_ALL=C TZ=UTC

fail() {
  echo "sign: $*" >&2
  exit 1
}

pfx=${SORVANEL_SIGN_PFX:-} password=${SORVANEL_SIGN_PASSWORD_FILE:-}
cert=${SORVANEL_SIGN_CERT:-} key=${SORVANEL_SIGN_KEY:-}
if [[ -n "$pfx$password" && -n "$cert$key" ]]; then
  fail "name either SORVANEL_SIGN_PFX or SORVANEL_SIGN_CERT, not both"
elif [[ -n "$pfx$password" ]]; then
  [[ -n "$pfx" && -n "$password" ]] || fail "SORVANEL_SIGN_PFX needs SORVANEL_SIGN_PASSWORD_FILE, and the other way round"
  sources=("$pfx" "$password")
elif [[ -n "$cert$key" ]]; then
  [[ -n "$cert" && -n "$key" ]] || fail "SORVANEL_SIGN_CERT needs SORVANEL_SIGN_KEY, and the other way round"
  sources=("$cert" "$key")
else
  fail "no certificate: set SORVANEL_SIGN_PFX and SORVANEL_SIGN_PASSWORD_FILE, or SORVANEL_SIGN_CERT and SORVANEL_SIGN_KEY"
fi
for source in "${sources[@]}"; do
  [[ -f "$source" && -r "$source" ]] || fail "cannot read $source"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The signing certificate, the whole chain, and the public half of the key.
if [[ -n "$pfx" ]]; then
  # OpenSSL 3 opens older PKCS#12 files (RC2, 3DES) only with its legacy provider.
  pkcs12() {
    openssl pkcs12 -in "$pfx" -passin "file:$password" "$@" 2>"$work/error" ||
      openssl pkcs12 -legacy -in "$pfx" -passin "file:$password" "$@" 2>"$work/error"
  }
  if ! pkcs12 -noout; then
    grep -qi 'invalid password' "$work/error" && fail "the password in $password does not open $pfx (wrong password)"
    fail "cannot read $pfx: $(head -n 1 "$work/error")"
  fi
  pkcs12 -clcerts -nokeys -out "$work/certificate.pem" || fail "no certificate for the key in $pfx"
  pkcs12 -nokeys -out "$work/chain.pem"
  # The private key goes through a pipe, never into a file.
  pkcs12 -nocerts -nodes | openssl pkey -pubout -out "$work/key.pub" 2>"$work/error" ||
    fail "no private key in $pfx"
  named="the certificate in $pfx"
  mismatch="the key in $pfx does not belong to its certificate"
else
  openssl x509 -in "$cert" -out "$work/certificate.pem" 2>/dev/null || fail "no PEM certificate in $cert"
  cp "$cert" "$work/chain.pem"
  openssl pkey -in "$key" -passin pass: -pubout -out "$work/key.pub" 2>/dev/null ||
    fail "cannot read the key in $key (it must be an unencrypted PEM key)"
  named="the certificate in $cert"
  mismatch="the key in $key does not belong to the certificate in $cert (the first one in the file)"
fi
openssl x509 -in "$work/certificate.pem" -noout -pubkey | cmp -s - "$work/key.pub" || fail "$mismatch"
date_of() { openssl x509 -in "$work/certificate.pem" -noout "-$1" | cut -d= -f2; }
starts=$(date -d "$(date_of startdate)" +%s) ends=$(date -d "$(date_of enddate)" +%s)
utc() { date -u -d "@$1" '+%Y-%m-%d %H:%M:%S UTC'; }
if [[ -n "${SORVANEL_TIMESTAMP_URL:-}" ]]; then
  time=$(date +%s) why="now, with a timestamp from $SORVANEL_TIMESTAMP_URL"
else
  time=${SOURCE_DATE_EPOCH:-1767225600} why="the release's time"
  ((starts <= time)) || time=$starts why="the certificate's start, later than the release's time"
fi
((ends > time)) || fail "$named expired on $(utc "$ends"), before the signatures' time $(utc "$time") ($why): renew the certificate, or sign with one that is valid then"
((ends > $(date +%s))) || fail "$named expired on $(utc "$ends"): renew the certificate"
((starts <= $(date +%s))) || fail "$named is not valid before $(utc "$starts"): wait until then, or check this machine's clock"

# The signature must verify against the chain that was given (or, for a chain that stops
# below its root, the system's roots); CRLs are not fetched, that check is Windows' job.
trusted=$work/trusted.pem
cat "$work/chain.pem" >"$trusted"
[[ -f /etc/ssl/certs/ca-certificates.crt ]] && cat /etc/ssl/certs/ca-certificates.crt >>"$trusted"
verify_options=(-CAfile "$trusted")
osslsigncode verify --help 2>&1 | grep -q -- -ignore-cdp && verify_options+=(-ignore-cdp)

options=(-h sha256 -n Sorvanel)
if [[ -n "$pfx" ]]; then
  options+=(-pkcs12 "$pfx" -readpass "$password")
else
  options+=(-certs "$cert" -key "$key")
fi
if [[ -n "${SORVANEL_TIMESTAMP_URL:-}" ]]; then
  options+=(-ts "$SORVANEL_TIMESTAMP_URL")
else
  options+=(-time "$time")
fi
(($# > 0)) || echo "sign: Authenticode signatures dated $(utc "$time") ($why)"

# After osslsigncode's own words, what went wrong and what to do.
advice() {
  if [[ -n "${SORVANEL_TIMESTAMP_URL:-}" ]] && grep -qiE 'timestamp|curl|connect' "$work/log"; then
    echo "the timestamp server $SORVANEL_TIMESTAMP_URL gave no timestamp: check its address and the network, or leave SORVANEL_TIMESTAMP_URL unset to sign without one"
  else
    echo "osslsigncode could not sign it with $named at $(utc "$time"): check that it is a Windows image or a Windows Installer package, and see osslsigncode's words above"
  fi
}

signed=$work/signed
for file in "$@"; do
  rm -f "$signed"
  osslsigncode sign "${options[@]}" -in "$file" -out "$signed" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "signing $file failed: $(advice)"
  }
  osslsigncode verify "${verify_options[@]}" -in "$signed" >"$work/log" 2>&1 || {
    grep -iE 'error|fail|mismatch' "$work/log" >&2
    fail "the signature of $file does not verify right after signing"
  }
  cat "$signed" >"$file"
done
