#!/usr/bin/env bash
# Checks that a release archive, the Windows ZIP or a Linux tar.gz (x86_64,
# arm64, armhf), signed or not, is exactly this commit's source plus its
# signatures. Run it in a
# checkout of the release's commit:
#
#   scripts/verify-release.sh [--key PUBLIC_KEY_FILE] ARCHIVE
#
# With --key it first checks the OpenPGP signature ARCHIVE.asc beside the
# archive with gpgv, against the key(s) in that file alone, and says whose
# it is; a missing signature is a failure, and so is any bad one among the
# signatures the .asc holds, even beside a good one. Then it builds the commit
# afresh and unsigned in a clone of its own (neither uncommitted changes
# nor an old build folder can slip in); for a ZIP it carries each .exe's
# Authenticode signature over from the ZIP onto its own staged files
# (osslsigncode extract-signature, attach-signature), where the release's
# signing step signs them; it runs the release's pack step again on them,
# and compares byte for byte. It prints each .exe's signer and timestamp,
# or "unsigned", and names the files that differ. Exit status 0 only on a
# match. Whether Windows trusts the signer is Windows' own check, and
# whether the OpenPGP key is the publisher's is yours (docs/signing.md,
# "Checking a release").
#
# UPM_VERIFY_BUILDS=FOLDER keeps the fresh clone and its build there and
# takes them from there on later calls for the same commit: a test that
# checks several archives of one commit builds it once. Only this script
# writes that folder.
set -euo pipefail
usage() { echo "usage: scripts/verify-release.sh [--key PUBLIC_KEY_FILE] ARCHIVE" >&2; exit 2; }
key=""
if [ "${1:-}" = --key ]; then
  [ $# -ge 2 ] && [ -f "$2" ] || usage
  key=$(realpath "$2"); shift 2
fi
[ $# -eq 1 ] && [ -f "$1" ] || usage
archive=$(realpath "$1")
case $archive in
  *.zip) preset=windows-release kind=zip plus=", plus its signatures" ;;
  *-linux-arm64.tar.gz) preset=linux-arm64-release kind=tar.gz plus="" ;;
  *-linux-armhf.tar.gz) preset=linux-armhf-release kind=tar.gz plus="" ;;
  *.tar.gz) preset=linux-release kind=tar.gz plus="" ;;
  *) usage ;;
esac
cd "$(dirname "$0")/.."
git() { command git -c safe.directory='*' "$@"; }
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not part of this check (it builds $commit)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The OpenPGP signature, against a keyring of the given file alone, in a
# GnuPG home of this check's own: no key the user happens to hold counts.
if [ -n "$key" ]; then
  mkdir -m 700 "$work/gnupg"
  if grep -q -- '-----BEGIN PGP' "$key"; then
    gpg --batch --homedir "$work/gnupg" --dearmor < "$key" > "$work/keyring.gpg" 2>/dev/null \
      || { echo "FAIL $key holds no OpenPGP key"; exit 1; }
  else
    cp "$key" "$work/keyring.gpg"
  fi
  [ -f "$archive.asc" ] || { echo "FAIL no signature: ${archive##*/}.asc is missing"; exit 1; }
  verdict=0
  said=$(gpgv --homedir "$work/gnupg" --status-fd 1 --keyring "$work/keyring.gpg" \
           "$archive.asc" "$archive" 2>&1) || verdict=$?
  # The .asc may hold several signatures: every one must be good. A good one
  # beside a bad, expired, revoked or uncheckable one is no good signature.
  signatures=$(grep -c '^\[GNUPG:\] NEWSIG' <<< "$said" || true)
  goods=$(grep -c '^\[GNUPG:\] GOODSIG ' <<< "$said" || true)
  good=$(sed -n 's/^\[GNUPG:\] GOODSIG [0-9A-F]* //p' <<< "$said" | head -n 1)
  valid=$(sed -n 's/^\[GNUPG:\] VALIDSIG \([0-9A-F]*\) \([0-9-]*\) .*/\1 \2/p' <<< "$said" | head -n 1)
  if [ "$verdict" -ne 0 ] || [ "$goods" -lt 1 ] || [ "$goods" -ne "$signatures" ] || [ -z "$valid" ] ||
     grep -qE '^\[GNUPG:\] (BADSIG|ERRSIG|EXPSIG|EXPKEYSIG|REVKEYSIG|NO_PUBKEY|NODATA) ' <<< "$said"; then
    echo "$said" | grep -v '^\[GNUPG:\]' | sed 's/^/  /'
    echo "FAIL ${archive##*/}.asc is no good signature of ${archive##*/} by the key in ${key##*/}"
    exit 1
  fi
  read -r fingerprint made <<< "$valid"
  echo "ok   ${archive##*/}.asc: good signature from $good (key $fingerprint), made $made"
fi

src="$work/src"
[ -z "${UPM_VERIFY_BUILDS:-}" ] || src="$UPM_VERIFY_BUILDS/$commit"
# A clone or build is taken again only once complete: its mark comes last.
if [ -e "$src.built-$preset" ]; then
  echo "Taking the unsigned build of $commit made afresh in $src"
else
  if [ ! -e "$src.cloned" ]; then
    rm -rf "$src"
    mkdir -p "$(dirname "$src")"
    git clone -q --no-checkout --no-hardlinks . "$src"
    git -C "$src" checkout -q --detach "$commit"
    touch "$src.cloned"
  fi
  rm -rf "$src/build/$preset"
  echo "Building $commit unsigned in a fresh clone..."
  if ! (cd "$src" && env -u UPM_SIGN_CERT -u UPM_SIGN_KEY -u UPM_SIGN_PKCS11_MODULE \
          -u UPM_SIGN_PASSWORD_FILE -u UPM_SIGN_TIMESTAMP_URL -u UPM_GPG_KEY \
          cmake --workflow --preset "$preset") > "$work/build.log" 2>&1; then
    tail -n 30 "$work/build.log"; echo "FAIL the release build of $commit"; exit 1
  fi
  touch "$src.built-$preset"
fi
# The staged files of the release (cmake/release.cmake) and the bill of
# materials' draft, for the pack step to run again on below, on a copy: the
# signatures go onto its files, and the build stays as made.
build="$src/build/$preset"
own="$work/package"
cp -a "$build/package" "$own"
given="$work/given"
mkdir "$given"
case $archive in
  *.zip) unzip -q "$archive" -d "$given" ;;
  *) tar -xzf "$archive" -C "$given" ;;
esac

signature() {  # EXE: its signer and timestamp, or "unsigned"
  local said signer stamp
  said=$(osslsigncode verify -in "$1" 2>&1) || true
  signer=$(echo "$said" | sed -n "/^Signer's certificate:/,\$s/^[[:space:]]*Subject: //p" | head -n 1)
  stamp=$(echo "$said" | sed -n 's/^[[:space:]]*\(Timestamp time\|The signature is timestamped\): //p' \
            | head -n 1)
  if [ -z "$signer" ]; then echo "unsigned"
  elif [ -z "$stamp" ]; then echo "signed by $signer, no timestamp"
  else echo "signed by $signer, timestamped $stamp"; fi
}

# Each Authenticode signature of the given archive, onto the same staged
# file of this build (the Linux archive has none).
while IFS= read -r -d '' exe; do
  name=${exe#"$given/"}
  echo "$name: $(signature "$exe")"
  [ -f "$own/$name" ] || continue
  osslsigncode extract-signature -in "$exe" -out "$work/sig.p7" > /dev/null 2>&1 || continue
  # attach-signature also checks the signer against the system's CAs and
  # says so in its status; trust is not the question here, the bytes are.
  osslsigncode attach-signature -sigin "$work/sig.p7" -in "$own/$name" -out "$work/signed.exe" \
    > /dev/null 2>&1 || true
  # Written over, not moved: the file keeps its mode, which the packer reads.
  [ -s "$work/signed.exe" ] && cat "$work/signed.exe" > "$own/$name"
  rm -f "$work/sig.p7" "$work/signed.exe"
done < <(find "$given" -name '*.exe' -print0 | sort -z)

# The release's own pack step (target release_archive), on these files:
# the bill of materials' hashes and the archive as the signed build made them.
repacked="$work/repacked.$kind"
python3 "$src/packaging/make_archive.py" "$repacked" "$src" "$own" "$build/sbom-draft.json"

name=${archive##*/}
if cmp -s "$archive" "$repacked"; then
  echo "ok   $name is $commit's release, byte for byte$plus"
  exit 0
fi
echo "FAIL $name is not $commit's release$plus"
differing=$( (cd "$given" && find . -type f; cd "$own" && find . -type f) | sort -u | while read -r f; do
  cmp -s "$given/$f" "$own/$f" || echo "  differs: ${f#./}"
done)
echo "${differing:-  every file is equal; the archive itself differs (entry order, times, permissions or packing)}"
exit 1
