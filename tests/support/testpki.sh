#!/bin/sh
# A throw-away certificate authority and server certificates for the TLS tests, made with
# Debian's openssl in the folder given (nothing secret lives in the repository):
#   ca.pem                  the test CA, for "ca_file"
#   good.pem, good.key      127.0.0.1 and localhost, issued by the test CA
#   wronghost.pem/.key      another host name only, issued by the test CA
#   expired.pem/.key        127.0.0.1 and localhost, issued by the test CA, expired in 2020
#   selfsigned.pem/.key     127.0.0.1 and localhost, signed by itself
#   leaf.pem, leaf.key      good.pem without the CA's certificate
# The CA's certificates are served with the CA's certificate after their own, as Schannel needs.
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
san="subjectAltName=DNS:localhost,IP:127.0.0.1"
# A day back: a clock that lags a little must not find the certificates not yet valid.
since=$(date -u -d yesterday +%Y%m%d%H%M%SZ)

cat >ca.cnf <<'EOF'
[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
x509_extensions = server
[any]
commonName = supplied
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
: >index.txt
echo 1000 >serial

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Zev Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

issue() { # name, subject alternative names, then openssl ca's validity options
  name=$1 alt=$2
  shift 2
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -subj "/CN=$name" -addext "$alt" 2>/dev/null
  openssl ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -in "$name.csr" -out "$name.pem" \
    -notext "$@" 2>/dev/null
}
issue good "$san" -startdate "$since" -days 30
issue wronghost "subjectAltName=DNS:wrong.example" -startdate "$since" -days 30
issue expired "$san" -startdate 20200101000000Z -enddate 20200102000000Z
openssl req -x509 -newkey rsa:2048 -nodes -keyout selfsigned.key -out selfsigned.pem -days 30 \
  -subj "/CN=selfsigned" -addext "$san" 2>/dev/null
cp good.pem leaf.pem
cp good.key leaf.key
for name in good wronghost expired; do cat ca.pem >>"$name.pem"; done
