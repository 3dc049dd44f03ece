#!/usr/bin/env bash
# needs: linux-release
# Builds the Linux release archive (preset linux-release) and checks that it
# unpacks to the folder the program expects, as the Windows ZIP does: the
# program, its guide, the notices, the bill of materials and the udev rules
# at the top, the tool (a real file) with its licence in Bossac/1.9.1/, and
# nothing else; that the guide is the Linux one; that the rules cover the
# boards and the bootloader; and that the program and the tool need
# nothing from the system beyond the C library, so that they run on any
# distribution as new as the build machine's. Then, that the tool's build
# stops with one line before compiling anything, on a tarball with another
# checksum and on a patch of ours that does not apply, again when built again.
#
#   scripts/stages/22-linux-archive.sh [BUILD_DIR]   # default: the preset's
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/release-build.bash
if [ $# -eq 0 ]; then
  release_build linux-release
  build=build/linux-release
else
  build=$1
  cmake --build "$build" --target release_archive -j2
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
archive="$build/UpdateProgramManually-${version}-linux-x86_64.tar.gz"
[ -n "$version" ] && [ -f "$archive" ] || { echo "FAIL no release archive at $archive"; exit 1; }
tar -tvzf "$archive"
(cd "$build" && sha256sum -c "${archive##*/}.sha256")
fail() { echo "FAIL $*"; exit 1; }

rules=69-updateprogrammanually.rules
expected="$rules
Bossac/
Bossac/1.9.1/
Bossac/1.9.1/LICENSE.txt
Bossac/1.9.1/bossac
README.txt
THIRD-PARTY-NOTICES.txt
UpdateProgramManually
sbom.cdx.json"
actual=$(tar -tzf "$archive" | sort)
[ "$actual" = "$expected" ] || fail "$archive holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "$archive" -C "$unpacked"
program="$unpacked/UpdateProgramManually"
cmp -s "$program" "$build/UpdateProgramManually" || fail "the packed program is not the one just built"
[ -x "$program" ] || fail "the packed program is not executable"
tool="$unpacked/Bossac/1.9.1/bossac"
[ -f "$tool" ] && [ ! -L "$tool" ] && [ -x "$tool" ] || fail "Bossac/1.9.1/bossac is no executable file"
cmp -s "$tool" "$build/bossac-1.9.1/bossac" || fail "the packed bossac is not the one just built"
# Its --help ends with status 1.
help=$("$tool" --help || true)
grep -q 'Version 1\.9\.1' <<< "$help" || fail "the packed bossac does not say it is version 1.9.1"
grep -q 'Copyright (c) 2011-2016, ShumaTech' "$unpacked/Bossac/1.9.1/LICENSE.txt" \
  || fail "Bossac/1.9.1/LICENSE.txt lacks the tool's copyright notice"
guide="$unpacked/README.txt"
grep -q "UpdateProgramManually ${version} " "$guide" || fail "README.txt does not carry version ${version}"
! grep -q $'\r' "$guide" || fail "README.txt has Windows line breaks"
# The Linux guide's own points, and none of the Windows one's.
for text in 'group "dialout"' 'ttyACMn or ttyUSBn' '<Board>_App_<version>.bin' \
            'Bossac/1.9.1/bossac' "sudo cp $rules /etc/udev/rules.d/" 'udevadm control --reload'; do
  grep -qF -- "$text" "$guide" || fail "README.txt does not say: $text"
done
! grep -qiE '\.exe|COM[0-9]|double-click|bossa-cli|\[[WL#]\]' "$guide" \
  || fail "the Linux guide holds Windows lines, the old tool package or unfilled marks"

# The udev rules: one rule per USB ID of the boards and the bootloader in
# README.md's own words (typed there by hand, not taken from the tables the
# rules are made from), each on the tty, as sysfs writes the IDs.
rule='SUBSYSTEM=="tty", ATTRS\{idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f]{4})", ENV\{ID_MM_DEVICE_IGNORE\}="1", TAG\+="uaccess"'
odd=$(grep -vE "^(#.*|$rule)?\$" "$unpacked/$rules" || true)
[ -z "$odd" ] || fail "$rules holds other lines than its rules:"$'\n'"$odd"
ids=$(sed -nE "s/^$rule\$/\1:\2/p" "$unpacked/$rules" | sort)
documented=$(grep -oE 'VID_[0-9A-F]{4}&PID_[0-9A-F]{4}' README.md | sed -E 's/VID_(.{4})&PID_(.{4})/\L\1:\2/' | sort -u)
[ "$ids" = "$documented" ] || fail "$rules has rules for"$'\n'"$ids"$'\n'"README.md names"$'\n'"$documented"
echo "ok   $rules: ${ids//$'\n'/ }"

# libstdc++ and libgcc are linked in; only the C library (and, for the
# tool's thread-local data, its dynamic loader) is asked for.
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = "libc.so.6" ] || fail "the program needs:" $needed
echo "ok   NEEDED: $needed"
needed=$(readelf -d "$tool" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -vxE 'libc\.so\.6|ld-linux-x86-64\.so\.2' || true)
[ -z "$needed" ] || fail "the tool needs:" $needed
# And it starts: with no board attached, a wrong letter cancels with status 1.
status=0
echo X | "$program" > "$unpacked/run.txt" || status=$?
[ $status -eq 1 ] && grep -q 'Invalid Letter' "$unpacked/run.txt" \
  || fail "the packed program did not run as expected (status $status): $(cat "$unpacked/run.txt")"
echo "ok   $archive"

# The refusals, in a build folder of their own with the rest of the source as it is.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
good=$(cache_value UPM_BOSSA_TARBALL)
good=$(realpath "${good:-$(cache_value UPM_BOSSA_CACHE)/bossa_1.9.1.orig.tar.gz}")
refusals="$unpacked/refusals"
mkdir -p "$refusals/patches"
cp "$good" "$refusals/bossa_1.9.1.orig.tar.gz"
printf X | dd of="$refusals/bossa_1.9.1.orig.tar.gz" bs=1 seek=4096 conv=notrunc status=none
sed 's/FD_ISSET(_devfd, &fds))$/FD_ISSET(_devfd, \&fds) != 0)/' packaging/bossa/*.patch \
  > "$refusals/patches/stale.patch"
while IFS='|' read -r tarball patches refusal; do
  cmake -S . -B "$refusals/build" -DUPM_BUILD_TESTS=OFF -DUPM_BOSSA_TARBALL="$tarball" \
    -DUPM_BOSSA_PATCHES="$patches" > /dev/null
  for attempt in first second; do
    status=0
    cmake --build "$refusals/build" --target bossac > "$refusals/said" 2>&1 || status=$?
    said=$(grep '^bossa-source: ' "$refusals/said" || true)
    [ $status -ne 0 ] && [ "$(wc -l <<< "$said")" -eq 1 ] && grep -qE "^bossa-source: $refusal" <<< "$said" \
      || fail "the $attempt build did not stop with one line matching '$refusal' (status $status): $(cat "$refusals/said")"
    [ -z "$(find "$refusals/build" -name '*.o')" ] || fail "the $attempt build compiled after: $said"
  done
  echo "ok   refused: $said"
done <<ROWS
$refusals/bossa_1.9.1.orig.tar.gz|$PWD/packaging/bossa|checksum mismatch: .*bossa_1.9.1.orig.tar.gz is not
$good|$refusals/patches|.*/stale.patch does not apply to bossa_1.9.1.orig.tar.gz: Hunk #1 FAILED
ROWS
