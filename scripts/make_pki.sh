#!/usr/bin/env bash
# Makes a throw-away certificate authority and certificates for trying TLS out (the demo, the
# tests, the benchmark), with the openssl command line.  Keys are P-256, mode 0600, and never
# meant to leave DIR.
#
#   scripts/make_pki.sh DIR
#
# DIR/ca.pem            the CA
# DIR/server.pem, .key  for localhost and 127.0.0.1 (chain: the certificate, then the CA)
# DIR/server2.pem, .key another server certificate of the same CA (a rotation)
# DIR/client.pem, .key  a client of the CA: CN vasp-1, DNS:vasp.example, email:ops@vasp.example
# DIR/expired.pem, .key a client of the CA whose certificate has expired
# DIR/other-ca.pem      another CA, and DIR/stranger.pem, .key a client of it
set -euo pipefail
dir="$1"
mkdir -p "$dir"
cd "$dir"
umask 077
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null; }
ca() {  # NAME CN
    key "$1"
    openssl req -x509 -new -key "$1.key" -out "$1.pem" -days 30 -subj "/CN=$2" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
leaf() {  # NAME CA CN DAYS SAN USAGE
    key "$1"
    openssl req -new -key "$1.key" -subj "/O=mm7 trial/CN=$3" -out "$1.csr"
    printf 'subjectAltName=%s\nextendedKeyUsage=%s\nbasicConstraints=CA:FALSE\n' "$5" "$6" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$2.pem" -CAkey "$2.key" -CAcreateserial -days "$4" \
        -extfile "$1.ext" -out "$1.pem" 2>/dev/null
    rm -f "$1.csr" "$1.ext"
}
ca ca "mm7 trial CA"
ca other-ca "another CA"
leaf server ca localhost 30 "DNS:localhost,IP:127.0.0.1" serverAuth
leaf server2 ca localhost-2 30 "DNS:localhost,IP:127.0.0.1" serverAuth
cat ca.pem >>server.pem
leaf client ca vasp-1 30 "DNS:vasp.example,email:ops@vasp.example" clientAuth
leaf expired ca vasp-old -1 "DNS:old.vasp.example" clientAuth
leaf stranger other-ca vasp-x 30 "DNS:x.example" clientAuth
chmod 644 ./*.pem
