#!/usr/bin/env bash
# The flashing tool's source for the build (cmake/bossac.cmake): Debian's
# upstream tarball of bossa 1.9.1, checked against its SHA-256 before
# anything is unpacked from it, with our patches for faults we found in it
# (packaging/bossa/*.patch) applied. Nothing of the tool itself is kept in
# this repository.
#
#   scripts/bossa-source.sh CACHE_DIR DEST PATCH_DIR [TARBALL]
#
# TARBALL, when given, is a local copy to use (it must match the sum);
# otherwise CACHE_DIR/bossa_1.9.1.orig.tar.gz is used when it matches, else
# fetched with apt-get source (needs a deb-src entry for Debian's main
# archive: scripts/install-test-deps.sh adds one) and kept there for the
# next build. Unpacks the tarball's src/ and LICENSE into DEST, applies
# every PATCH_DIR/*.patch to it in name order (patch -p1, no fuzz), and
# notes the tarball's name and SHA-256 in DEST/SOURCE and the patches as
# applied in DEST/patches/, for the release's notices and bill of materials.
# DEST appears only once every patch has applied: a build never goes on with
# an unpatched or half-patched source.
set -euo pipefail
shopt -s nullglob
export LC_ALL=C  # the patches' order is their names' bytes
cache=$(mkdir -p "$1" && cd "$1" && pwd)
dest=$2
given=${4:-}
name=bossa_1.9.1.orig.tar.gz
# The upstream tarball as Debian's bossa_1.9.1-3.dsc lists it.
sha256=ca650455dfa36cbd029010167347525bea424717a71a691381c0811591c93e72
sum_ok() { [ -f "$1" ] && echo "$sha256  $1" | sha256sum -c --status; }
stop() { echo "bossa-source: $*" >&2; exit 1; }
patch_dir=$(cd "$3" 2>/dev/null && pwd) || stop "no folder of patches $3"
command -v patch >/dev/null || stop "no patch program to apply $patch_dir/*.patch: apt-get install patch"

if [ -n "$given" ]; then
  [ -f "$given" ] || stop "UPM_BOSSA_TARBALL=$given: no such file"
  sum_ok "$given" || stop "checksum mismatch: $given is not $name (SHA-256 $sha256)"
  tarball=$given
else
  tarball="$cache/$name"
  if [ -e "$tarball" ] && ! sum_ok "$tarball"; then
    echo "bossa-source: the cached $tarball is damaged (checksum mismatch); fetching it again" >&2
    rm -f "$tarball"
  fi
  if [ ! -e "$tarball" ]; then
    # A folder of this call's own: two builds may fetch at the same time.
    download=$(mktemp -d "$cache/download.XXXXXX")
    # apt's own download user must be able to write here when we are root.
    chmod 777 "$download"
    # Debian's packaging tarball beside the upstream one is not always to be
    # had, and then apt-get fails although the one file needed has arrived:
    # the checksum decides, not apt's status.
    (cd "$download" && apt-get source --download-only bossa >/dev/null 2>&1) || true
    if sum_ok "$download/$name"; then
      mv "$download/$name" "$tarball"
    elif [ -f "$download/$name" ]; then
      rm -rf "$download"
      stop "checksum mismatch: the $name that apt-get source fetched is not SHA-256 $sha256"
    fi
    rm -rf "$download"
  fi
  sum_ok "$tarball" || stop "no $name (SHA-256 $sha256) cached in $cache and none to fetch: set -DUPM_BOSSA_TARBALL=/path/to/$name, or add a deb-src entry (scripts/install-test-deps.sh)"
fi

rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
unpacked=$(mktemp -d "$dest.XXXXXX")
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$tarball" -C "$unpacked" --strip-components=1 BOSSA-1.9.1/src BOSSA-1.9.1/LICENSE
mkdir "$unpacked/patches"
for patch in "$patch_dir"/*.patch; do
  # Exactly where it was made, or not at all: no fuzz, no second try, no
  # .orig or .rej files left in the source.
  if ! said=$(patch -p1 --batch --forward --fuzz=0 --no-backup-if-mismatch --reject-file=- \
                -d "$unpacked" -i "$patch" 2>&1); then
    stop "$patch does not apply to $name: $(grep -m1 -iE "fail|malformed|garbage|can't find|reversed" <<< "$said" || head -n1 <<< "$said")"
  fi
  cp "$patch" "$unpacked/patches/"
done
# Unpacked files keep the tarball's times; the build must see them as new.
find "$unpacked" -type f -exec touch {} +
echo "$name $sha256" > "$unpacked/SOURCE"
chmod 755 "$unpacked"
mv "$unpacked" "$dest"
