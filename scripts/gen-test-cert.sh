#!/usr/bin/env bash
# gen-test-cert.sh OUTDIR
# Makes a self-signed test certificate for the loopback servers: OUTDIR/server.crt and
# OUTDIR/server.key (RSA 2048, 10 years), valid for localhost and 127.0.0.1 to 127.0.0.4.
# Idempotent: an existing pair that covers these names is kept.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
mkdir -p "$out"
crt="$out/server.crt" key="$out/server.key"
san="DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:127.0.0.3,IP:127.0.0.4"

if [ -s "$crt" ] && [ -s "$key" ] \
   && openssl x509 -in "$crt" -noout -checkend 86400 >/dev/null 2>&1 \
   && openssl x509 -in "$crt" -noout -ext subjectAltName 2>/dev/null | grep -q "IP Address:127.0.0.4" \
   && [ "$(openssl x509 -in "$crt" -noout -pubkey | openssl sha256)" = \
        "$(openssl pkey -in "$key" -pubout | openssl sha256)" ]; then
  exit 0
fi

# Written under temporary names and moved into place, so a concurrent run never sees half a pair.
tmp=$(mktemp -d "$out/.gen-cert.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 \
  -keyout "$tmp/server.key" -out "$tmp/server.crt" \
  -subj "/CN=localhost" -addext "subjectAltName=$san" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,digitalSignature,keyEncipherment,keyCertSign" \
  -addext "extendedKeyUsage=serverAuth" >/dev/null 2>&1
chmod 600 "$tmp/server.key"
mv -f "$tmp/server.key" "$key"
mv -f "$tmp/server.crt" "$crt"
