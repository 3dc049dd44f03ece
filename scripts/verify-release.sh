#!/usr/bin/env bash
# Checks that a Windows release ZIP, signed or not, is exactly this commit's
# source plus its Authenticode signatures. Run it in a checkout of the
# release's commit:
#
#   scripts/verify-release.sh UpdateProgramManually-<version>-win64.zip
#
# It builds the commit afresh and unsigned in a clone of its own (neither
# uncommitted changes nor an old build folder can slip in), carries each
# .exe's signature over from the ZIP onto its own staged files (osslsigncode
# extract-signature, attach-signature), where the release's signing step
# signs them, runs the release's pack step again on them, and compares byte
# for byte. It prints each .exe's
# signer and timestamp, or "unsigned", and names the files that differ.
# Exit status 0 only on a match. Whether Windows trusts the signer is
# Windows' own check (README, "Checking a release").
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: scripts/verify-release.sh ZIP" >&2; exit 2; }
zip=$(realpath "$1")
cd "$(dirname "$0")/.."
git() { command git -c safe.directory='*' "$@"; }
commit=$(git rev-parse HEAD)
git diff --quiet HEAD || echo "note: uncommitted changes are not part of this check (it builds $commit)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

src="$work/src"
git clone -q --no-checkout --no-hardlinks . "$src"
git -C "$src" checkout -q --detach "$commit"
echo "Building $commit unsigned in a fresh clone..."
if ! (cd "$src" && env -u UPM_SIGN_CERT -u UPM_SIGN_KEY -u UPM_SIGN_PKCS11_MODULE \
        -u UPM_SIGN_PASSWORD_FILE -u UPM_SIGN_TIMESTAMP_URL \
        cmake --workflow --preset windows-release) > "$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log"; echo "FAIL the release build of $commit"; exit 1
fi
# The staged files of the release (cmake/release.cmake) and the bill of
# materials' draft, for the pack step to run again on below.
build="$src/build/windows-release"
own="$build/package"
given="$work/given"
unzip -q "$zip" -d "$given"

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

# Each signature of the given archive, onto the same staged file of this
# build.
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
python3 "$src/packaging/make_archive.py" "$work/repacked.zip" "$src" "$own" "$build/sbom-draft.json"

if cmp -s "$zip" "$work/repacked.zip"; then
  echo "ok   ${zip##*/} is $commit's release, byte for byte, plus its signatures"
  exit 0
fi
echo "FAIL ${zip##*/} is not $commit's release plus its signatures"
differing=$( (cd "$given" && find . -type f; cd "$own" && find . -type f) | sort -u | while read -r f; do
  cmp -s "$given/$f" "$own/$f" || echo "  differs: ${f#./}"
done)
echo "${differing:-  every file is equal; the archive itself differs (entry order, times, permissions or packing)}"
exit 1
