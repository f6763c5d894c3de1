#!/bin/sh
# Makes the update keys the tests sign with: current, previous and unknown (<name>.key PKCS#8,
# <name>.pub), and rotated.pem, the keys file of a product that moved from previous to current.
# Usage: make_test_keys.sh DIR   (does nothing when DIR already holds them)
set -eu
DIR=$1
[ -f "$DIR/rotated.pem" ] && exit 0
mkdir -p "$DIR"
for name in current previous unknown; do
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$DIR/$name.key" 2>/dev/null
  chmod 600 "$DIR/$name.key"
  openssl pkey -in "$DIR/$name.key" -pubout -out "$DIR/$name.pub"
done
{
  echo "# The key releases are signed with now."
  cat "$DIR/current.pub"
  echo
  echo "# The key before it, still accepted while older releases are about."
  cat "$DIR/previous.pub"
} > "$DIR/rotated.pem.tmp"
mv "$DIR/rotated.pem.tmp" "$DIR/rotated.pem"
