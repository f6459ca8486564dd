#!/bin/bash
# Makes throw-away Authenticode material for the tests in the folder given:
#   ca.pem                 a root CA, valid for 30 days from now
#   signer.pem signer.key  a code-signing certificate it issued, with the CA after it (the
#                          chain), and its unencrypted key
#   signer.pfx password    the same in a PKCS#12 file, and its password
#   leaf.pem               the code-signing certificate alone, without the CA
#   expired.pem            a certificate for the same key that expired yesterday, and the CA
#   other.key              a key that belongs to no certificate
set -euo pipefail
folder=$1
mkdir -p "$folder"
cd "$folder"

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/CN=Sorvanel throw-away CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr \
  -subj "/CN=Sorvanel throw-away signer" 2>/dev/null
printf '%s\n' basicConstraints=CA:FALSE keyUsage=critical,digitalSignature \
  extendedKeyUsage=codeSigning >signer.ext
issue() {
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -extfile signer.ext \
    -days "$1" -out "$2" 2>/dev/null
}
issue 30 leaf.pem
issue -1 expired-leaf.pem
cat leaf.pem ca.pem >signer.pem
cat expired-leaf.pem ca.pem >expired.pem
printf 'throw-away password\n' >password
openssl pkcs12 -export -in leaf.pem -inkey signer.key -certfile ca.pem -passout file:password \
  -out signer.pfx
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out other.key 2>/dev/null
