#!/bin/sh
# A throw-away certificate authority and server certificates for the TLS tests, made with
# Debian's openssl in the folder given (nothing secret lives in the repository): ca.pem, the test
# CA; NAME.pem and NAME.key for "good" (127.0.0.1 and localhost), "wronghost" (another name
# only) and "expired" (in 2020), each followed by the CA's certificate as a server sends it for
# Schannel; "leaf", the good certificate alone; empty.pem, no certificate at all.
set -eu
mkdir -p "$1"
cd "$1"
printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = index.txt' 'new_certs_dir = .' \
  'serial = serial' 'default_md = sha256' 'policy = any' 'copy_extensions = copy' \
  'x509_extensions = server' '[any]' 'commonName = supplied' '[server]' \
  'basicConstraints = critical, CA:FALSE' 'extendedKeyUsage = serverAuth' \
  'subjectKeyIdentifier = hash' 'authorityKeyIdentifier = keyid' >ca.cnf
: >index.txt
echo 1000 >serial
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 \
  -subj "/CN=Zev Test CA" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
# A day back: a clock that lags a little must not find the certificates not yet valid.
since=$(date -u -d yesterday +%Y%m%d%H%M%SZ)
issue() { # name, subject alternative names, openssl ca's validity options
  openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" \
    -addext "subjectAltName=$2" 2>/dev/null
  name=$1
  shift 2
  openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in "$name.csr" -out "$name.pem" \
    -notext "$@" 2>/dev/null
}
issue good DNS:localhost,IP:127.0.0.1 -startdate "$since" -days 30
issue wronghost DNS:wrong.example -startdate "$since" -days 30
issue expired DNS:localhost,IP:127.0.0.1 -startdate 20200101000000Z -enddate 20200102000000Z
: >empty.pem
cp good.pem leaf.pem
cp good.key leaf.key
for name in good wronghost expired; do cat ca.pem >>"$name.pem"; done
