#!/usr/bin/env bash
# Makes what the trusted-update scenarios need, afresh for every run, then runs the
# scenario command with HALCYRA_E2E_TRUST naming the folder; the folder, private keys
# included, is removed afterwards.
#
#   trust_fixtures.sh <sample-updater.exe> <sample server> <HalcyraUpdateCheck.exe> <command...>
#
# In the folder: manifest-key.b64 and its SHA-256; signed.json (Expires three days ahead) with its
# signature and another key's (other.json.sig); expired.json, older.json (a lower version)
# and noexpires.json signed; current.json (the installed version, unsigned); the sample
# updater and server signed by the certificates a and b, and changed after signing; the
# certificates' thumbprints; the unsigned builds as updater.exe and server.exe; and the
# diagnostic as diagnostic.exe. HALCYRA_E2E_TRICKLE_PORT names a trickling update server.
set -euo pipefail
updater=$1 server=$2 diagnostic=$3
shift 3
dir=$(mktemp -d)
trickle=
trap 'rm -rf "$dir"; [[ -z $trickle ]] || kill "$trickle"' EXIT
slow_server=$(cd "$(dirname "$0")/../network" && pwd)/slow_server.py
cd "$dir"

quiet() { "$@" >/dev/null 2>&1 || { echo "trust_fixtures: $* failed" >&2; exit 1; }; }

for k in a b; do
  quiet openssl ecparam -name prime256v1 -genkey -noout -out "manifest-$k.pem"
  quiet openssl req -x509 -newkey rsa:2048 -nodes -keyout "sign-$k.key" -out "sign-$k.pem" -days 2 \
    -subj "/CN=Halcyra test publisher $k" -addext extendedKeyUsage=codeSigning
  quiet osslsigncode sign -certs "sign-$k.pem" -key "sign-$k.key" -in "$updater" -out "updater-$k.exe"
  quiet osslsigncode sign -certs "sign-$k.pem" -key "sign-$k.key" -in "$server" -out "server-$k.exe"
  openssl x509 -in "sign-$k.pem" -outform DER | sha256sum | cut -d' ' -f1 | tr -d '\n' >"thumbprint-$k"
done
openssl ec -in manifest-a.pem -pubout -outform DER 2>/dev/null | base64 -w0 >manifest-key.b64
base64 -d manifest-key.b64 | sha256sum | cut -d' ' -f1 | tr -d '\n' >manifest-key.sha256

ahead=$(date -u -d '+3 days' +%Y-%m-%dT%H:%M:%SZ)
manifest() { printf '{"Version":"%s","Files":["HalcyraServer.exe"]%s}' "$1" "${2:+,\"Expires\":\"$2\"}" >"$3"; }
manifest 2.0.0.0 "$ahead" signed.json
manifest 2.0.0.0 2020-01-31T00:00:00Z expired.json
manifest 1.5.0.0 "$ahead" older.json
manifest 2.0.0.0 "" noexpires.json
manifest 1.0.0.0 "" current.json
quiet openssl dgst -sha256 -sign manifest-b.pem -out other.json.sig signed.json
for m in signed expired older noexpires; do
  quiet openssl dgst -sha256 -sign manifest-a.pem -out "$m.json.sig" "$m.json"
done

for program in updater server; do
  cp "$program-a.exe" "$program-changed.exe"
  offset=$(grep -obUa "This program" "$program-changed.exe" | head -1 | cut -d: -f1)
  printf 't' | dd of="$program-changed.exe" bs=1 seek="$offset" conv=notrunc status=none
done
cp "$updater" updater.exe
cp "$server" server.exe
cp "$diagnostic" diagnostic.exe
rm -f ./*.pem ./*.key

# An update server that answers every request with signed.json, a quarter every 13 s: the
# manifest takes 52 s, and its signature would take as long again.
/usr/bin/python3 -u "$slow_server" trickle --manifest "$(cat signed.json)" --pause 13 >trickle.out 2>&1 &
trickle=$!
for _ in $(seq 100); do grep -q '^ready$' trickle.out && break; sleep 0.1; done
HALCYRA_E2E_TRICKLE_PORT=$(sed -nE 's/^trickle ([0-9]+)$/\1/p' trickle.out)
export HALCYRA_E2E_TRICKLE_PORT

HALCYRA_E2E_TRUST=$dir "$@"
