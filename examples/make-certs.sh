#!/usr/bin/env bash
# Makes a private test CA, a broker certificate for localhost/127.0.0.1 and a
# client certificate, for trying TLS with client certificates (the AWSMQTT
# example). Keys are made here, never committed. Usage: make-certs.sh [DIR]
set -euo pipefail
dir=${1:-"$(dirname "$0")/certs"}
mkdir -p "$dir"
cd "$dir"
subj() { echo "/O=kro example/CN=$1"; }
key() { openssl ecparam -name prime256v1 -genkey -noout -out "$1" 2>/dev/null; }

key ca.key
openssl req -new -x509 -key ca.key -sha256 -days 365 -subj "$(subj 'kro example CA')" -out ca.crt

key server.key
openssl req -new -key server.key -subj "$(subj localhost)" -out server.csr
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > server.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -sha256 -days 365 \
  -extfile server.ext -out server.crt 2>/dev/null

key client.key
openssl req -new -key client.key -subj "$(subj 'kro example device')" -out client.csr
openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -sha256 -days 365 \
  -out client.crt 2>/dev/null

rm -f server.csr client.csr server.ext
chmod 644 ./*.key # the broker may run as another user
echo "certificates in $(pwd): ca.crt server.crt server.key client.crt client.key"
