#!/usr/bin/env bash
# The real Windows flashing tool for the tests and the demo: bossac.exe 1.9.1,
# cross-built with MinGW-w64 from Debian's source package of bossa. Nothing
# of the tool is kept in this repository; its source and the .exe stay in
# DEST (the build folder), and a second call with the .exe there does nothing.
#
#   scripts/build-bossac-exe.sh [DEST]      default DEST: build/windows/bossac-1.9.1
#
# Needs a deb-src entry for Debian's main archive and g++-mingw-w64-x86-64-posix
# (scripts/install-test-deps.sh sets up both). Prints DEST/bossac.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dest=$(mkdir -p "${1:-$root/build/windows/bossac-1.9.1}" && cd "${1:-$root/build/windows/bossac-1.9.1}" && pwd)
exe="$dest/bossac.exe"
if [ -f "$exe" ]; then
  echo "$exe"
  exit 0
fi

tarball="$dest/bossa_1.9.1.orig.tar.gz"
# The upstream tarball as Debian's bossa_1.9.1-3.dsc lists it.
sha256=ca650455dfa36cbd029010167347525bea424717a71a691381c0811591c93e72
sum_ok() { [ -f "$tarball" ] && echo "$sha256  $tarball" | sha256sum -c --status; }

if ! sum_ok; then
  download="$dest/download"
  rm -rf "$download"
  mkdir -p "$download"
  # apt's own download user must be able to write here when we are root.
  chmod 777 "$download"
  # Debian's packaging tarball beside the upstream one is not always to be
  # had, and then apt-get fails although the one file needed has arrived:
  # the checksum below decides, not apt's status.
  (cd "$download" && apt-get source --download-only bossa >/dev/null 2>&1) || true
  [ -f "$download/bossa_1.9.1.orig.tar.gz" ] && mv "$download/bossa_1.9.1.orig.tar.gz" "$tarball"
  rm -rf "$download"
fi
if ! sum_ok; then
  echo "build-bossac-exe: no bossa_1.9.1.orig.tar.gz with SHA-256 $sha256" >&2
  echo "  (needs a deb-src entry for Debian's main archive: scripts/install-test-deps.sh adds one)" >&2
  exit 1
fi

source_dir="$dest/src"
rm -rf "$source_dir"
mkdir -p "$source_dir"
tar -xzf "$tarball" -C "$source_dir" --strip-components=1

# The command-line tool only: no GUI, no ARM assembler (the applet is C++ already).
units=(Samba Flash D5xNvmFlash D2xNvmFlash EfcFlash EefcFlash Applet WordCopyApplet WordCopyArm
       Flasher Device WinSerialPort WinPortFactory bossac CmdOpts)
sources=()
for unit in "${units[@]}"; do sources+=("$source_dir/src/$unit.cpp"); done
# Linked statically, so the .exe runs under Wine with no MinGW DLLs beside it.
x86_64-w64-mingw32-g++-posix -std=c++11 -O2 -w -DVERSION='"1.9.1"' -static \
  -I"$source_dir/src" "${sources[@]}" -lsetupapi -o "$exe.partial"
mv "$exe.partial" "$exe"
rm -rf "$source_dir"
echo "$exe"
