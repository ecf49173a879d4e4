#!/usr/bin/env bash
# Regenerates the seed corpus of the fuzz targets (fuzz/corpus/<target>/seed-*) and the store
# entries that the decryption target puts into its store (fuzz/keys/), with plombar-cli, openssl
# and the published GOST examples of tests/crypto. Inputs that once found a fault are kept under
# other names (finding-*) and are never touched here.
#
#   fuzz/make-corpus.sh [PLOMBAR-CLI]      (default: the first of build/{release,dev,fuzz-dev}/tools/plombar-cli)
#
# Keys and certificates are new on every run, so the seeds change too; commit keys and corpus together.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
vectors=$root/tests/crypto/vectors
verifyVectors=$root/tests/crypto/verify-vectors

cli=${1:-}
if [[ -z $cli ]]; then
    for candidate in "$root"/build/{release,dev,fuzz-dev}/tools/plombar-cli; do
        [[ -x $candidate ]] && { cli=$candidate; break; }
    done
fi
[[ -n $cli && -x $cli ]] || { echo "plombar-cli not found; build it or pass its path" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_DATA_HOME=$work/home LC_ALL=C.UTF-8
store=$XDG_DATA_HOME/plombar/stores/MY

ossl() { env -u CRYPT_PARAMS -u GOST_PBE_HMAC -u GOST_PK_FORMAT openssl "$@"; }
cli() { "$cli" "$@" > "$work/cli.log" 2>&1 || { cat "$work/cli.log" >&2; return 1; }; }
pem2der() { sed -e '/-----/d' "$1" | base64 -d; }
thumbOf() { ossl x509 -in "$1" -outform DER | sha1sum | cut -c1-40; }

# The content every seed signature signs; fuzz_verify.cpp holds the same bytes.
content=$work/content.txt
printf 'Plombar fuzz: signed content\n' > "$content"

declare -A seedDirs
for target in base64 verify decrypt certificate store name ber message; do
    seedDirs[$target]=$here/corpus/$target
    mkdir -p "${seedDirs[$target]}"
    rm -f "${seedDirs[$target]}"/seed-*
done
seed() { cp "$2" "${seedDirs[$1]}/seed-$3"; }                 # seed TARGET FILE NAME
seedText() { printf '%b' "$2" > "${seedDirs[$1]}/seed-$3"; }  # seed TARGET ESCAPED-TEXT NAME

# ---------------------------------------------------------------------------------------------
# Identities: our own GOST certificates (plombar-cli), RSA and EC ones (openssl), the recipients
# of the published examples. All go into the store; the decryption target's store is a copy.
mkdir -p "$work/id"
for alg in 2001 2012-256 2012-512; do
    cli store new-test-cert --alg "$alg" --subject "CN=Получатель $alg, O=Пломбарь, C=RU" --name "ключ $alg"
done
for cer in "$store"/*.cer; do
    # The friendly names given above tell the three apart.
    name=gost$(sed -e 's/^ключ //' "${cer%.cer}.name")
    cp "$cer" "$work/id/$name.der"
    ossl x509 -inform DER -in "$cer" -out "$work/id/$name.pem"
    cp "${cer%.cer}.key" "$work/id/$name.key"
done
ossl req -x509 -newkey rsa:2048 -nodes -keyout "$work/id/rsa.key" -out "$work/id/rsa.pem" -days 3650 \
    -subj "/C=RU/O=Пломбарь/CN=RSA получатель" -utf8 \
    -addext "subjectKeyIdentifier=hash" -addext "keyUsage=critical,digitalSignature,keyEncipherment" 2>/dev/null
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "$work/id/ec.key" \
    -out "$work/id/ec.pem" -days 40000 -subj "/CN=EC signer/emailAddress=ec@example.ru" \
    -addext "subjectAltName=DNS:example.ru,email:ec@example.ru,IP:192.0.2.1" \
    -addext "basicConstraints=critical,CA:TRUE,pathlen:0" -addext "extendedKeyUsage=emailProtection" 2>/dev/null
ossl req -x509 -newkey ed25519 -nodes -keyout "$work/id/ed.key" -out "$work/id/ed.pem" -days 30 \
    -subj "/CN=Ed25519/O=Test+OU=Multi valued" -multivalue-rdn 2>/dev/null
for id in rsa ec; do
    cli store import "$work/id/$id.pem" --key "$work/id/$id.key" --no-key-password --name "$id"
done
for pair in tk26_256_exchange.crt:tk26_256.key.pem tk26_512_exchange.crt:tk26_512.key.pem \
    engine_tc26_recipient256_cert.pem:engine_tc26_recipient256_key.pem \
    engine_tc26_recipient512_cert.pem:engine_tc26_recipient512_key.pem; do
    cli store import "$vectors/${pair%%:*}" --key "$vectors/${pair##*:}" --no-key-password
done

rm -rf "$here/keys"
mkdir -p "$here/keys"
cp "$store"/*.cer "$store"/*.key "$here/keys/"

# ---------------------------------------------------------------------------------------------
# certificate: every certificate above, DER; one with a serial of 20 bytes and a far validity.
for id in gost2001 gost2012-256 gost2012-512; do seed certificate "$work/id/$id.der" "$id.cer"; done
for id in rsa ec ed; do ossl x509 -in "$work/id/$id.pem" -outform DER -out "$work/id/$id.der"; seed certificate "$work/id/$id.der" "$id.cer"; done
for v in tk26_256_exchange.crt tk26_512_exchange.crt engine_tc26_recipient256_cert.pem engine_tc26_recipient512_cert.pem; do
    pem2der "$vectors/$v" > "$work/v.der"
    seed certificate "$work/v.der" "${v%.*}.cer"
done
for v in tk26_256_signer.crt tk26_512_signer.crt; do
    pem2der "$verifyVectors/$v" > "$work/v.der"
    seed certificate "$work/v.der" "${v%.*}.cer"
done
ossl req -new -key "$work/id/rsa.key" -subj "/CN=Version one/serialNumber=001 002" -out "$work/v1.csr"
ossl x509 -req -in "$work/v1.csr" -signkey "$work/id/rsa.key" -set_serial 0x00ff0102030405060708090a0b0c0d0e0f101112 \
    -days 20000 -outform DER -out "$work/v1.der" 2>/dev/null
seed certificate "$work/v1.der" rsa-v1-long-serial.cer
pem2der "$vectors/engine_tc26_recipient256_cert.pem" | head -c 300 > "$work/cut.der"
seed certificate "$work/cut.der" truncated.cer

# ---------------------------------------------------------------------------------------------
# verify: signatures over the content, by plombar-cli and by openssl, in every form the page meets.
cp "$content" "$work/data"
for id in gost2001 gost2012-256 gost2012-512; do
    thumb=$(thumbOf "$work/id/$id.pem")
    cli sign "$work/data" --thumbprint "$thumb"
    seed verify "$work/data.sig" "$id-detached.sig"
    cli sign "$work/data" --thumbprint "$thumb" --base64
    seed verify "$work/data.p7s" "$id-detached.p7s"
    seed base64 "$work/data.p7s" "$id.p7s"
    cli sign "$work/data" --thumbprint "$thumb" --attached
    seed verify "$work/data.sig" "$id-attached.sig"
done
gost=$work/id/gost2012-256
ossl cms -sign -engine gost -binary -in "$content" -signer "$gost.pem" -inkey "$gost.key" -outform DER \
    -out "$work/s.der" 2>/dev/null
seed verify "$work/s.der" openssl-gost-signed-attributes.sig
ossl cms -sign -engine gost -binary -stream -in "$content" -signer "$gost.pem" -inkey "$gost.key" -outform DER \
    -out "$work/s.der" 2>/dev/null
seed verify "$work/s.der" openssl-gost-ber-indefinite.sig
ossl cms -sign -engine gost -binary -noattr -nocerts -in "$content" -signer "$gost.pem" -inkey "$gost.key" \
    -outform DER -out "$work/s.der" 2>/dev/null
seed verify "$work/s.der" openssl-gost-no-certificate.sig
ossl cms -sign -engine gost -binary -noattr -in "$content" -signer "$work/id/gost2012-512.pem" \
    -inkey "$work/id/gost2012-512.key" -signer "$work/id/gost2001.pem" -inkey "$work/id/gost2001.key" \
    -outform DER -out "$work/s.der" 2>/dev/null
seed verify "$work/s.der" openssl-two-signers.sig
ossl cms -sign -engine gost -binary -in "$content" -signer "$gost.pem" -inkey "$gost.key" -outform PEM \
    -out "$work/s.pem" 2>/dev/null
seed verify "$work/s.pem" openssl-pem-armour.p7s
ossl cms -sign -binary -md sha256 -in "$content" -signer "$work/id/rsa.pem" -inkey "$work/id/rsa.key" -outform DER \
    -out "$work/s.der"
seed verify "$work/s.der" openssl-rsa.sig
ossl cms -sign -binary -noattr -in "$content" -signer "$work/id/ec.pem" -inkey "$work/id/ec.key" -outform DER \
    -out "$work/s.der"
seed verify "$work/s.der" openssl-ec.sig
base64 -w 64 "$work/s.der" > "$work/s.b64"
seed verify "$work/s.b64" openssl-ec-lf-64.p7s
{ printf '\r\n'; cat "$work/s.b64"; } > "$work/s.b64x"
seed verify "$work/s.b64x" base64-after-blank-line.p7s
seed verify "$verifyVectors/tk26cms_signed_256.der" tk26-signed-256-no-certificate.sig
pem2der "$verifyVectors/engine_tc26_signed_a111.pem" > "$work/v.der"
seed verify "$work/v.der" tc26-signed-attributes-a111.sig
ossl cms -encrypt -engine gost -binary -gost89 -in "$content" -recip "$gost.pem" -outform DER \
    -out "$work/e.der" 2>/dev/null
seed verify "$work/e.der" enveloped-not-signed.sig

# ---------------------------------------------------------------------------------------------
# decrypt: messages for the store's keys by plombar-cli and openssl (DER and BER, one and two
# recipients, RSA), the published examples, and messages for nobody in the store.
head -c 1100 /dev/urandom > "$work/big"
: > "$work/empty"
for id in gost2001 gost2012-256 gost2012-512; do
    cli encrypt "$work/data" --cert "$work/id/$id.der"
    seed decrypt "$work/data.enc" "$id.enc"
done
cli encrypt "$work/big" --cert "$work/id/gost2012-512.der"
seed decrypt "$work/big.enc" gost2012-512-1100-bytes.enc
cli encrypt "$work/empty" --cert "$work/id/gost2001.der"
seed decrypt "$work/empty.enc" gost2001-empty.enc
ossl cms -encrypt -engine gost -binary -gost89 -in "$content" -recip "$work/id/gost2012-256.pem" \
    -recip "$work/id/gost2001.pem" -outform DER -out "$work/e.der" 2>/dev/null
seed decrypt "$work/e.der" openssl-two-recipients.enc
ossl cms -encrypt -engine gost -binary -stream -gost89 -in "$work/big" -recip "$work/id/gost2012-256.pem" \
    -outform DER -out "$work/e.der" 2>/dev/null
seed decrypt "$work/e.der" openssl-ber-indefinite.enc
ossl cms -encrypt -binary -aes-128-cbc -in "$content" -recip "$work/id/rsa.pem" -outform DER -out "$work/e.der"
seed decrypt "$work/e.der" openssl-rsa-aes.enc
ossl cms -encrypt -binary -aes-128-cbc -keyid -in "$content" -recip "$work/id/rsa.pem" -outform DER -out "$work/e.der"
seed decrypt "$work/e.der" openssl-rsa-key-identifier.enc
for v in tk26cms_ktri_256.der tk26cms_ktri_512.der tk26cms_kari_256.der; do seed decrypt "$vectors/$v" "$v"; done
for v in engine_tc26_encrypted_keytrans_a231.pem engine_tc26_encrypted_keytrans_a241.pem \
    engine_tc26_encrypted_keyagree_a221.pem; do
    pem2der "$vectors/$v" > "$work/v.der"
    seed decrypt "$work/v.der" "${v%.pem}.der"
done
seed decrypt "$work/s.der" signed-not-enveloped.enc

# ---------------------------------------------------------------------------------------------
# base64: the RFC 4648 §10 vectors, layouts the decoder must take, and the cases its rule names.
seedText base64 'Zm9vYmFy' rfc4648-foobar
seedText base64 'Zg==' rfc4648-f
seedText base64 'Zm8=' rfc4648-fo
base64 -w 0 "$work/big" > "$work/b64"
seed base64 "$work/b64" one-long-line
base64 -w 64 "$work/big" > "$work/b64"
seed base64 "$work/b64" lines-of-64-lf
seedText base64 '-----BEGIN CMS-----\nMIIBZg==\n-----END CMS-----\n' pem-armour
seedText base64 'Zg==Zm9v YmFy\tZg\r\n==' pad-in-the-middle
seedText base64 '=AAA==BB\x80\xff\x00QUJDRA' pads-first-and-foreign-bytes
seedText base64 'QUJDREVG\nQUI' trailing-group-of-three
seedText base64 'QUJDREVG\nQ' trailing-group-of-one
seedText base64 'AB=C' pad-third-data-fourth

# ---------------------------------------------------------------------------------------------
# name: options (4 bytes, see fuzz_name.cpp), attribute choice (1 byte), DER name. Built byte by
# byte, so that every string type and the odd cases are there.
hexlen() {
    local n=$1
    if ((n < 128)); then printf '%02x' "$n"
    elif ((n < 256)); then printf '81%02x' "$n"
    else printf '82%04x' "$n"; fi
}
tlv() { printf '%s%s%s' "$1" "$(hexlen $((${#2} / 2)))" "$2"; }
utf8() { printf '%s' "$1" | xxd -p | tr -d '\n'; }
bmp() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16BE | xxd -p | tr -d '\n'; }
ucs4() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-32BE | xxd -p | tr -d '\n'; }
attr() { tlv 30 "$(tlv 06 "$1")$2"; }   # attr OID-HEX VALUE-TLV
rdn() { tlv 31 "$(printf '%s' "$@")"; }
name() { tlv 30 "$(printf '%s' "$@")"; }
nameSeed() { printf '%s%s' "$1" "$2" | xxd -r -p > "${seedDirs[name]}/seed-$3"; } # OPTIONS+CHOICE-HEX NAME-HEX FILE
CN=550403 C=550406 O=55040a OU=55040b L=550407 E=2a864886f70d010901 INN=2a85030381030101 SNILS=2a85036403
usual=$(name "$(rdn "$(attr $C "$(tlv 13 "$(utf8 RU)")")")" \
    "$(rdn "$(attr $O "$(tlv 0c "$(utf8 'ООО "Ромашка", склад №1')")")")" \
    "$(rdn "$(attr $CN "$(tlv 0c "$(utf8 'Иванов Иван Иванович')")")")")
nameSeed 01000000ff "$usual" oid-usual
nameSeed 02000000ff "$usual" x500-usual
nameSeed 0200000211 "$usual" x500-reverse-short-buffer
nameSeed 0000001007 "$usual" simple-no-quoting-cut-in-cyrillic
nameSeed 03000080ff "$usual" pkcs7-encoding-only
every=$(name "$(rdn "$(attr $CN "$(tlv 1e "$(bmp 'Отдел кадров')")")")" \
    "$(rdn "$(attr $OU "$(tlv 1c "$(ucs4 'Склад 𝔘')")")" "$(attr $L "$(tlv 14 e9746521)")")" \
    "$(rdn "$(attr $E "$(tlv 16 "$(utf8 'ivanov@example.ru')")")")" \
    "$(rdn "$(attr $INN "$(tlv 12 "$(utf8 007707083893)")")" "$(attr $SNILS "$(tlv 03 000102)")")" \
    "$(rdn "$(attr 2a0304 "$(tlv 30 "$(tlv 0c 41)")")")" \
    "$(rdn "$(attr $CN "$(tlv 0c "")")")" \
    "$(rdn "$(attr $O "$(tlv 0c "$(utf8 ' "quoted" + <tag> #; = ')")")")" \
    "$(rdn "$(attr $CN "$(tlv 1e 0041000000420043)")")")
nameSeed 01000000ff "$every" oid-every-string-type
nameSeed 02000048ff "$every" x500-semicolon-crlf
nameSeed 00000022ff "$every" simple-no-plus-reverse
nameSeed 0700000020 "$every" unknown-string-type
nameSeed 0200000020 "3100" not-a-name
for id in gost2012-512 ed; do
    # The subject as the certificate encodes it: the sixth element of tbsCertificate.
    der=$work/id/$id.der
    line=$(ossl asn1parse -inform DER -in "$der" | awk '$1 ~ /:d=2$/ { if (++n == 6) { print; exit } }')
    offset=$((${line%%:*}))
    header=$(sed -E 's/.*hl= *([0-9]+).*/\1/' <<< "$line")
    length=$(sed -E 's/.* l= *([0-9]+).*/\1/' <<< "$line")
    nameSeed 02000000ff "$(dd if="$der" bs=1 skip="$offset" count=$((header + length)) status=none | xxd -p | tr -d '\n')" \
        "x500-subject-$id"
done

# ---------------------------------------------------------------------------------------------
# store: password script (1 byte), then records flags | name length | name | length (LE16) | content.
record() { # FLAGS NAME FILE
    local size
    size=$(stat -c %s "$3")
    printf "\\x$(printf %02x "$1")\\x$(printf %02x "${#2}")"
    printf '%s' "$2"
    printf "\\x$(printf %02x $((size & 255)))\\x$(printf %02x $((size >> 8)))"
    cat "$3"
}
script() { printf "\\x$(printf %02x "$1")"; }
storeSeed() { cat > "${seedDirs[store]}/seed-$1"; }
printf 'Ключ для подписи\r\nвторая строка\n' > "$work/friendly"
gostKey=$work/id/gost2012-256.key
ossl pkcs8 -topk8 -in "$gostKey" -engine gost -v2 aes-256-cbc -iter 1 -passout pass:fuzz-password \
    -out "$work/aes.key" 2>/dev/null
ossl pkcs8 -topk8 -in "$gostKey" -engine gost -v2 gost89 -iter 1 -passout pass:fuzz-password \
    -out "$work/gost89.key" 2>/dev/null
ossl pkcs8 -topk8 -in "$work/id/gost2001.key" -engine gost -v2 aes-256-cbc -iter 1 -passout pass:fuzz-password \
    -outform DER -out "$work/aes.der" 2>/dev/null
ossl ec -in "$work/id/ec.key" -out "$work/ec-traditional.key" 2>/dev/null
ossl x509 -in "$work/id/gost2012-256.pem" -out "$work/cert.pem"
{ script 0; record 0 a.cer "$work/id/gost2012-256.der"; record 0 a.key "$gostKey"; record 0 a.name "$work/friendly"; } | storeSeed plain-key
{ script 0; record 0 a.cer "$work/id/gost2012-256.der"; record 0 a.key "$work/aes.key"; } | storeSeed aes-key-right-password
{ script 1; record 0 a.cer "$work/id/gost2012-256.der"; record 0 a.key "$work/gost89.key"; } | storeSeed gost89-key-second-try
{ script 2; record 0 b.cer "$work/id/gost2001.der"; record 0 b.key "$work/aes.der"; } | storeSeed der-key-cancelled
{ script 3; record 0 b.cer "$work/id/gost2001.der"; record 0 b.key "$work/aes.der"; } | storeSeed der-key-always-wrong
{ script 0; record 0 c.cer "$work/id/gost2012-512.der"; record 1 c.key "$work/id/gost2012-512.key"; } | storeSeed key-readable-by-others
{ script 0; record 0 d.cer "$work/id/gost2001.der"; record 0 d.key "$gostKey"; } | storeSeed key-of-another-certificate
{ script 0; record 0 e.cer "$work/cert.pem"; record 0 e.key "$gostKey"; record 0 f.cer "$work/id/gost2012-256.der"; } | storeSeed pem-and-duplicate
{ script 0; record 0 r.cer "$work/id/rsa.der"; record 0 r.key "$work/id/rsa.key"; record 0 x.cer "$work/id/ec.der"; \
  record 0 x.key "$work/ec-traditional.key"; } | storeSeed rsa-and-ec-traditional
{ script 0; record 2 g.cer "$work/empty"; record 0 h.cer "$work/cut.der"; record 0 .h.cer.0a1b.plombar-tmp "$work/id/ed.der"; \
  record 0 i.cer "$work/empty"; record 2 j.key "$work/empty"; record 0 j.cer "$work/id/ed.der"; } | storeSeed junk

# ---------------------------------------------------------------------------------------------
# ber: every signed and enveloped seed above (DER and BER, attached and detached), and the same
# signature with its content in segments inside segments.
for file in "${seedDirs[verify]}"/seed-*.sig "${seedDirs[decrypt]}"/seed-*; do
    cp "$file" "${seedDirs[ber]}/$(basename "$file")"
done
ossl cms -sign -engine gost -binary -nodetach -stream -outform DER -signer "$work/id/gost2012-256.pem" \
    -inkey "$work/id/gost2012-256.key" -in "$content" -out "${seedDirs[ber]}/seed-openssl-stream-attached.sig"

# ---------------------------------------------------------------------------------------------
# message: signature and envelope files as people receive them. The first byte chooses the read
# size and the kind (odd: envelope); the rest is the file.
messageSeed() { { printf "\\x$(printf %02x "$1")"; cat "$2"; } > "${seedDirs[message]}/seed-$3"; } # BYTE FILE NAME
armour() { printf -- '-----BEGIN %s-----\n' "$1"; base64 -w 64 "$2"; printf -- '-----END %s-----\n' "$1"; }
messageSeed 32 "${seedDirs[verify]}/seed-gost2012-256-attached.sig" der-attached
messageSeed 64 "${seedDirs[verify]}/seed-gost2012-256-detached.p7s" base64
messageSeed 2 "${seedDirs[verify]}/seed-base64-after-blank-line.p7s" base64-after-blank-line
{ printf 'Подпись к письму\r\n\r\n'; armour CMS "${seedDirs[verify]}/seed-gost2012-256-attached.sig"; } > "$work/signed.pem"
messageSeed 16 "$work/signed.pem" pem-after-text
messageSeed 33 "${seedDirs[decrypt]}/seed-gost2001.enc" der-envelope
armour PKCS7 "${seedDirs[decrypt]}/seed-gost2001.enc" > "$work/envelope.pem"
messageSeed 17 "$work/envelope.pem" pem-envelope
# A DER signature with "MI" on its first line: the content's length corrected until the outer
# length is 0x4D49 (the first correction changes the size of some length fields too).
signLong() {
    head -c "$1" /dev/zero | tr '\0' a > "$work/long.txt"
    ossl cms -sign -engine gost -binary -noattr -nodetach -outform DER -signer "$work/id/gost2012-256.pem" \
        -inkey "$work/id/gost2012-256.key" -in "$work/long.txt" -out "$work/marker.sig"
}
length=100
for _ in 1 2 3; do
    signLong "$length"
    length=$((length + 0x4D49 + 4 - $(stat -c %s "$work/marker.sig")))
done
messageSeed 40 "$work/marker.sig" der-with-marker-on-first-line

du -sh "$here/corpus" "$here/keys"
echo "seed corpus written to $here/corpus, store entries to $here/keys"
