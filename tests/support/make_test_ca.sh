#!/bin/sh
# Makes a throw-away certificate authority and the server certificates the local test server
# presents: a good one, a self-signed one, an expired one and one for another host name.
# Usage: make_test_ca.sh OUTDIR. Does nothing when OUTDIR already holds a complete set.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
out=$1
mkdir -p "$out"
out=$(cd "$out" && pwd)

exec 9>"$out/.lock"
flock 9
if [ -f "$out/.complete" ]; then
    exit 0
fi

work=$(mktemp -d "$out/.tmp.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

newkey() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
}

newkey ca.key
openssl req -new -x509 -key ca.key -out ca.pem -days 3650 -subj "/CN=Velora Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"

cat >server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1,IP:::1
EXT
cat >wronghost.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:wrong.example
EXT

# name, subject, extension file
signed() {
    newkey "$1.key"
    openssl req -new -key "$1.key" -out "$1.csr" -subj "/CN=$2"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial \
        -out "$1.pem" -days 3650 -extfile "$3" 2>/dev/null
}
signed server localhost server.ext
signed wronghost wrong.example wronghost.ext

newkey selfsigned.key
openssl req -new -x509 -key selfsigned.key -out selfsigned.pem -days 3650 -subj "/CN=localhost" \
    -addext "subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1,IP:::1"

# The x509 command cannot back-date, so the expired one goes through the ca command.
newkey expired.key
openssl req -new -key expired.key -out expired.csr -subj "/CN=localhost"
mkdir db
: >db/index.txt
echo 1000 >db/serial
cat >ca.cnf <<EXT
[ca]
default_ca = test
[test]
database = $work/db/index.txt
serial = $work/db/serial
new_certs_dir = $work/db
default_md = sha256
policy = anything
copy_extensions = none
[anything]
commonName = supplied
[expired_ext]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1,IP:::1
EXT
openssl ca -batch -notext -config ca.cnf -cert ca.pem -keyfile ca.key -in expired.csr \
    -out expired.pem -startdate 20200101000000Z -enddate 20200201000000Z \
    -extensions expired_ext 2>/dev/null

for f in ca server selfsigned expired wronghost; do
    mv -f "$f.pem" "$out/$f.pem"
    mv -f "$f.key" "$out/$f.key"
done
: >"$out/.complete"
