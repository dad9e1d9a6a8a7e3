#!/usr/bin/env bash
# The configure checks of the bank options: one spelling of a bank id, a row in the table, and
# no demo keys for a bank other than the demo bank unless ALLOW_DEMO_KEYS is on.
#   bank_config_test.sh SOURCE_DIR
set -uo pipefail
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
table=$src/config/banks/test_banks.inc
openssl genrsa -traditional -out "$work/envelope.pem" 1024 2>/dev/null
openssl genrsa -out "$work/signing.pem" 1024 2>/dev/null
openssl rsa -in "$work/signing.pem" -RSAPublicKey_out -out "$work/public.pem" 2>/dev/null
demo_pub=$src/keys/manifest-public.pem demo_env=$src/keys/envelope.pem
cp "$demo_pub" "$work/copy-of-demo.pem"
failures=0

# configure ID TABLE PUB ENV ALLOW [ARTWORK]: every option given, so the cache of the last case
# never leaks.
configure() {
  cmake -S "$src" -B "$work/build" -G Ninja -DCORLINQ_BANK_CHECK_ONLY=ON -DBANK_ID="$1" \
    -DBANK_TABLE="$2" -DMANIFEST_PUBLIC_KEY="$3" -DENVELOPE_KEY="$4" -DALLOW_DEMO_KEYS="$5" \
    -DBANK_ARTWORK="${6:-}" >"$work/out" 2>&1
}

# Columns: expected (ok|fail), text the output must hold, BANK_ID, table, public key,
# envelope key, ALLOW_DEMO_KEYS.
while IFS='|' read -r want text id tab pub env allow; do
  [ -n "$want" ] || continue
  eval "tab=$tab pub=$pub env=$env"
  if configure "$id" "$tab" "$pub" "$env" "$allow"; then got=ok; else got=fail; fi
  if [ "$got" != "$want" ] || ! tr -s ' \n' ' ' <"$work/out" | grep -qF -- "$text"; then
    echo "FAIL BANK_ID=$id allow=$allow: wanted $want with \"$text\", got $got:"
    sed 's/^/    /' "$work/out" | tail -15
    failures=$((failures + 1))
  fi
done <<'CASES'
ok|Bank 0x5a5 (云杉银行) builds corlinq_5a5.exe|5a5|$table|$work/public.pem|$work/envelope.pem|OFF
ok|Bank 0x5a5 (云杉银行) builds corlinq_5a5.exe|0x5a5|$table|$work/public.pem|$work/envelope.pem|OFF
ok|Bank 0x5a5 (云杉银行) builds corlinq_5a5.exe|0X5A5|$table|$work/public.pem|$work/envelope.pem|OFF
ok|Bank 0x5a5 (云杉银行) builds corlinq_5a5.exe|005A5|$table|$work/public.pem|$work/envelope.pem|OFF
ok|Bank 0x867 (恒澍银行) builds corlinq_867.exe|0x867|$src/config/banks/banks.inc|$demo_pub|$demo_env|OFF
ok|Bank 0x42 (岭泽农村商业银行) builds corlinq_042.exe|42|$src/config/banks/banks.inc|$demo_pub|$demo_env|ON
ok|tests and demos only|0x5a5|$table|$demo_pub|$demo_env|ON
fail|is not a bank id|0x|$table|$work/public.pem|$work/envelope.pem|OFF
fail|is not a bank id|5a5g|$table|$work/public.pem|$work/envelope.pem|OFF
fail|is not a bank id|-1|$table|$work/public.pem|$work/envelope.pem|OFF
fail|is out of range|1000000|$table|$work/public.pem|$work/envelope.pem|OFF
fail|BANK_ID 0x5a6 has no row in the bank table|0x5a6|$table|$work/public.pem|$work/envelope.pem|OFF
fail|BANK_ID 0x867 has no row in the bank table|0x867|$table|$demo_pub|$demo_env|OFF
fail|the demo manifest key|0x5a5|$table|$demo_pub|$work/envelope.pem|OFF
fail|the demo manifest key|0x5a5|$table|$work/copy-of-demo.pem|$work/envelope.pem|OFF
fail|the demo envelope key|0x5a5|$table|$work/public.pem|$demo_env|OFF
fail|-DALLOW_DEMO_KEYS=ON|0x5a5|$table|$demo_pub|$demo_env|OFF
fail|would be built with the demo manifest key|0x1a2b|$src/config/banks/banks.inc|$demo_pub|$demo_env|OFF
CASES
# A bank's own pictures: all seven or the configure stops naming what is missing.
mkdir -p "$work/art"
for id in 174 175 176 177 178 180; do cp "$src/ui/res/picture_$id.png" "$work/art/"; done
if configure 5a5 "$table" "$work/public.pem" "$work/envelope.pem" OFF "$work/art" ||
   ! grep -q "lacks picture_184.png" "$work/out"; then
  echo "FAIL BANK_ARTWORK without picture_184.png:"; tail -5 "$work/out"; failures=$((failures + 1))
fi
cp "$src/ui/res/picture_184.png" "$work/art/"
if ! configure 5a5 "$table" "$work/public.pem" "$work/envelope.pem" OFF "$work/art" ||
   ! grep -qF "Dialog pictures of bank 0x5a5 from $work/art" "$work/out"; then
  echo "FAIL BANK_ARTWORK with every picture:"; tail -5 "$work/out"; failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "bank configure checks passed"
exit $((failures > 0))
