#!/usr/bin/env bash
# Signs a release archive with OpenPGP when UPM_GPG_KEY is set (docs/signing.md,
# "Signing a release"): ARCHIVE.asc, a detached armored signature, beside
# the archive and its .sha256, for gpgv to check.
#
#   packaging/openpgp_sign.sh ARCHIVE
#
# UPM_GPG_KEY names the secret key (fingerprint or user ID) in the GnuPG
# home (GNUPGHOME as usual; the key may live on a card). The passphrase or
# the card's PIN, if any, comes from the file named by UPM_SIGN_PASSWORD_FILE
# through loopback pinentry; without that file gpg asks through its own
# pinentry. Without UPM_GPG_KEY it does nothing. A failed signing leaves
# no archive: a release asked to be signed is never left looking finished
# without its signature.
set -euo pipefail
[ -n "${UPM_GPG_KEY:-}" ] || exit 0
[ $# -eq 1 ] || { echo "usage: packaging/openpgp_sign.sh ARCHIVE" >&2; exit 2; }
archive=$1
fail() {
  rm -f "$archive" "$archive.sha256" "$archive.asc" "$archive.asc.partial"
  echo "openpgp_sign: $*" >&2
  exit 1
}
home=${GNUPGHOME:-$HOME/.gnupg}
command -v gpg > /dev/null || fail "UPM_GPG_KEY is set, but gpg is missing (apt-get install gnupg)"
if [ -n "${UPM_SIGN_PASSWORD_FILE:-}" ]; then
  [ -f "$UPM_SIGN_PASSWORD_FILE" ] && [ -r "$UPM_SIGN_PASSWORD_FILE" ] \
    || fail "UPM_SIGN_PASSWORD_FILE names no readable file: $UPM_SIGN_PASSWORD_FILE"
fi

# The key, checked before gpg is asked to sign: gpg's own refusal of an
# expired key ("Unusable secret key") does not say why.
listing=$(gpg --batch --with-colons --fixed-list-mode --list-secret-keys -- "$UPM_GPG_KEY" 2>/dev/null) \
  || fail "UPM_GPG_KEY: no secret key \"$UPM_GPG_KEY\" in $home"
keys=$(grep -c "^sec:" <<< "$listing" || true)
[ "$keys" -eq 1 ] || fail "UPM_GPG_KEY: \"$UPM_GPG_KEY\" matches $keys secret keys in $home; name one by its fingerprint"
IFS=: read -r _ validity _ _ _ _ expires _ _ _ _ capabilities _ <<< "$(grep '^sec:' <<< "$listing")"
fingerprint=$(sed -n '0,/^fpr:/s/^fpr:\([^:]*:\)\{8\}\([0-9A-F]*\):.*/\2/p' <<< "$listing")
user=$(sed -n '0,/^uid:/s/^uid:\([^:]*:\)\{8\}\([^:]*\):.*/\2/p' <<< "$listing")
who="$fingerprint ($user)"
# An upper-case S: the key as a whole can still sign (GnuPG's DETAILS).
if [[ $capabilities != *S* ]]; then
  case $validity in
    e) fail "UPM_GPG_KEY: the key $who expired on $(date -u -d "@$expires" +%Y-%m-%d)" ;;
    r) fail "UPM_GPG_KEY: the key $who is revoked" ;;
    *) fail "UPM_GPG_KEY: the key $who has no usable signing key (expired or revoked subkeys?)" ;;
  esac
fi

options=(--batch --yes --armor --detach-sign --local-user "$fingerprint" --output "$archive.asc.partial")
[ -z "${UPM_SIGN_PASSWORD_FILE:-}" ] \
  || options+=(--pinentry-mode loopback --passphrase-file "$UPM_SIGN_PASSWORD_FILE")
rm -f "$archive.asc" "$archive.asc.partial"
if ! said=$(gpg "${options[@]}" -- "$archive" 2>&1) || [ ! -s "$archive.asc.partial" ]; then
  # gpg's reason ("signing failed: Bad passphrase"), not its chatter.
  reason=$(grep -m 1 'signing failed' <<< "$said" || tail -n 1 <<< "$said")
  fail "gpg could not sign ${archive##*/} with $who: ${reason#gpg: }"
fi
mv -f "$archive.asc.partial" "$archive.asc"
echo "Signed ${archive##*/}.asc with $who"
