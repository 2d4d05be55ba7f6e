#!/usr/bin/env bash
# Makes what the trusted-update scenarios need, afresh for every run, then runs the
# scenario command with HALCYRA_E2E_TRUST naming the folder; the folder, private keys
# included, is removed afterwards.
#
#   trust_fixtures.sh <sample-updater.exe> <command...>
#
# In the folder: manifest-key.b64; signed.json with its signature and another key's
# (other.json.sig); expired.json signed; the sample updater signed by the certificates a
# and b, and changed after signing; and the certificates' thumbprints.
set -euo pipefail
updater=$1
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

quiet() { "$@" >/dev/null 2>&1 || { echo "trust_fixtures: $* failed" >&2; exit 1; }; }

for k in a b; do
  quiet openssl ecparam -name prime256v1 -genkey -noout -out "manifest-$k.pem"
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "sign-$k.key" -out "sign-$k.pem" -days 2 \
    -subj "/CN=Halcyra test publisher $k" -addext extendedKeyUsage=codeSigning
  quiet osslsigncode sign -certs "sign-$k.pem" -key "sign-$k.key" -in "$updater" -out "updater-$k.exe"
  openssl x509 -in "sign-$k.pem" -outform DER | sha256sum | cut -d' ' -f1 | tr -d '\n' >"thumbprint-$k"
done
openssl ec -in manifest-a.pem -pubout -outform DER 2>/dev/null | base64 -w0 >manifest-key.b64

printf '{"Version":"2.0.0.0","Files":["HalcyraServer.exe"]}' >signed.json
printf '{"Version":"2.0.0.0","Files":["HalcyraServer.exe"],"Expires":"2020-01-31T00:00:00Z"}' >expired.json
quiet openssl dgst -sha256 -sign manifest-a.pem -out signed.json.sig signed.json
quiet openssl dgst -sha256 -sign manifest-b.pem -out other.json.sig signed.json
quiet openssl dgst -sha256 -sign manifest-a.pem -out expired.json.sig expired.json

cp updater-a.exe updater-changed.exe
offset=$(grep -obUa "This program" updater-changed.exe | head -1 | cut -d: -f1)
printf 't' | dd of=updater-changed.exe bs=1 seek="$offset" conv=notrunc status=none
rm -f ./*.pem ./*.key

HALCYRA_E2E_TRUST=$dir "$@"
