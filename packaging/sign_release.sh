#!/usr/bin/env bash
# Authenticode-signs (SHA-256) the given Windows programs in place with
# osslsigncode, from the UPM_SIGN_* environment variables (docs/signing.md,
# "Signing a release"). They are read when the release is built, not configured:
# `cmake --workflow` takes no -D, and a secret has no place in a cache.
#
#   packaging/sign_release.sh FILE.exe...
#
# Without any UPM_SIGN_* variable it does nothing: the release stays
# unsigned, and byte for byte what its commit gives. All or nothing: every
# file is signed into a copy first, and only when all are signed do the
# copies replace the originals. The password or PIN goes to osslsigncode as
# a file name (-readpass), never as text on a command line or in the output.
set -euo pipefail
fail() { echo "sign_release: $*" >&2; exit 1; }

vars=(UPM_SIGN_CERT UPM_SIGN_KEY UPM_SIGN_PKCS11_MODULE UPM_SIGN_PASSWORD_FILE UPM_SIGN_TIMESTAMP_URL)
set_vars=""
for var in "${vars[@]}"; do [ -z "${!var:-}" ] || set_vars+=" $var"; done
[ -n "$set_vars" ] || exit 0
# The password file alone is the OpenPGP key's passphrase
# (packaging/openpgp_sign.sh), not a request for Authenticode.
[ -z "${UPM_GPG_KEY:-}" ] || [ "$set_vars" != " UPM_SIGN_PASSWORD_FILE" ] || exit 0
[ $# -gt 0 ] || fail "no files to sign"
for var in UPM_SIGN_CERT UPM_SIGN_KEY; do
  [ -n "${!var:-}" ] || fail "$var is not set (set were:$set_vars); signing needs UPM_SIGN_CERT and UPM_SIGN_KEY"
done
readable() {  # VAR: the variable must name a readable file
  [ -f "${!1}" ] && [ -r "${!1}" ] || fail "$1 names no readable file: ${!1}"
}
readable UPM_SIGN_CERT
[ -z "${UPM_SIGN_PASSWORD_FILE:-}" ] || readable UPM_SIGN_PASSWORD_FILE

# The signer's certificate is the first of the chain: it must be one for
# code signing, and still valid (Windows refuses a signature made after).
cert=$UPM_SIGN_CERT
openssl x509 -in "$cert" -noout 2>/dev/null || fail "UPM_SIGN_CERT holds no PEM certificate: $cert"
openssl x509 -in "$cert" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' \
  || fail "UPM_SIGN_CERT: the first certificate in $cert is not for code signing (no Code Signing extended key usage)"
openssl x509 -in "$cert" -noout -checkend 0 > /dev/null \
  || fail "UPM_SIGN_CERT: the first certificate in $cert has expired"
cert_key=$(openssl x509 -in "$cert" -noout -pubkey)

# The password file goes to openssl as a file name too; without one the
# key must be unencrypted (an empty password, not a prompt).
passin=(-passin pass:)
[ -z "${UPM_SIGN_PASSWORD_FILE:-}" ] || passin=(-passin "file:$UPM_SIGN_PASSWORD_FILE")
case $UPM_SIGN_KEY in
  pkcs11:*)
    case $UPM_SIGN_KEY in *pin-value=*|*pin-source=*)
      fail "UPM_SIGN_KEY holds a PIN; give it in a file named by UPM_SIGN_PASSWORD_FILE instead";;
    esac
    [ -n "${UPM_SIGN_PKCS11_MODULE:-}" ] || fail "UPM_SIGN_PKCS11_MODULE is not set; a pkcs11: key needs the token's PKCS#11 module"
    readable UPM_SIGN_PKCS11_MODULE
    # OpenSSL's engine "pkcs11", found by its name: osslsigncode 2.5
    # (Debian 12) takes no path with -pkcs11engine.
    engine=$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so
    [ -f "$engine" ] || fail "no OpenSSL pkcs11 engine at $engine (apt-get install libengine-pkcs11-openssl)"
    key_args=(-pkcs11module "$UPM_SIGN_PKCS11_MODULE" -key "$UPM_SIGN_KEY")
    # The token's public key, where it shows one without a login.
    key_key=$(PKCS11_MODULE_PATH=$UPM_SIGN_PKCS11_MODULE openssl pkey -engine pkcs11 -inform engine \
                -pubin -in "$UPM_SIGN_KEY" -pubout 2>/dev/null | sed -n '/-BEGIN/,/-END/p') || key_key=""
    ;;
  *)
    readable UPM_SIGN_KEY
    key_args=(-key "$UPM_SIGN_KEY")
    key_key=$(openssl pkey -in "$UPM_SIGN_KEY" "${passin[@]}" -pubout 2>&1) \
      || fail "UPM_SIGN_KEY: openssl cannot read the key in $UPM_SIGN_KEY (wrong password in UPM_SIGN_PASSWORD_FILE?): $(echo "$key_key" | head -n 1)"
    ;;
esac
[ -z "$key_key" ] || [ "$key_key" = "$cert_key" ] \
  || fail "UPM_SIGN_KEY does not belong to the first certificate in UPM_SIGN_CERT ($cert)"

options=(sign -h sha256 -certs "$cert" "${key_args[@]}")
[ -z "${UPM_SIGN_PASSWORD_FILE:-}" ] || options+=(-readpass "$UPM_SIGN_PASSWORD_FILE")
[ -z "${UPM_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$UPM_SIGN_TIMESTAMP_URL")

signed=()
trap 'rm -f "${signed[@]/%/.signed}"' EXIT
for file in "$@"; do
  [ -f "$file" ] || fail "no file to sign: $file"
  signed+=("$file")
  rm -f "$file.signed"
  if ! log=$(osslsigncode "${options[@]}" -in "$file" -out "$file.signed" 2>&1) || [ ! -s "$file.signed" ]; then
    echo "$log" >&2
    fail "osslsigncode could not sign $file (its words above)"
  fi
done
# Each signed copy takes its original's mode: the packer stores a file its
# owner may run as a program.
for file in "${signed[@]}"; do chmod --reference="$file" "$file.signed"; mv -f "$file.signed" "$file"; done
echo "Signed ${signed[*]}${UPM_SIGN_TIMESTAMP_URL:+ (timestamped)}"
