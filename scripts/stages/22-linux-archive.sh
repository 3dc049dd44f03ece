#!/usr/bin/env bash
# Builds the Linux release archives (presets linux-release, linux-arm64-release
# and linux-armhf-release) and checks that each unpacks to the folder the
# program expects, as the Windows ZIP does: the program, its guide, the
# notices, the bill of materials and the udev rules at the top, the tool (a
# real file) with its licence in Bossac/1.9.1/, and nothing else; that the
# guide is the Linux one; that the rules cover the boards and the
# bootloader; and that the program and the tool are static programs of the
# archive's architecture that need nothing from the system, so that they run
# on any Linux kernel of it (the ARM ones here under qemu-user-static). Then,
# that the pack step refuses a program that is not, naming it and what it
# is; and that the tool's build stops with one line before compiling
# anything, on a tarball with another checksum and on a patch of ours that
# does not apply, again when built again.
#
#   scripts/stages/22-linux-archive.sh [BUILD_DIR...]   # default: the presets'
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/release-build.bash
builds=("$@")
if [ $# -eq 0 ]; then
  for preset in linux-release linux-arm64-release linux-armhf-release; do
    release_build "$preset"
    builds+=("build/$preset")
  done
else
  for build in "${builds[@]}"; do cmake --build "$build" --target release_archive -j2; done
fi
fail() { echo "FAIL $*"; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
# Each architecture: what readelf calls its machine, and what runs its
# programs here.
declare -A machine=([x86_64]="Advanced Micro Devices X86-64" [arm64]=AArch64 [armhf]=ARM)
declare -A emulators=([x86_64]="" [arm64]=qemu-aarch64-static [armhf]=qemu-arm-static)

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

check_archive() {  # BUILD
  local build=$1 version archive arch emulator
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
  archive=$(echo "$build/UpdateProgramManually-${version}"-linux-*.tar.gz)
  [ -n "$version" ] && [ -f "$archive" ] || fail "no release archive in $build"
  arch=${archive##*-linux-}; arch=${arch%.tar.gz}
  emulator=${emulators[$arch]}
  tar -tvzf "$archive"
  (cd "$build" && sha256sum -c "${archive##*/}.sha256")
  actual=$(tar -tzf "$archive" | sort)
  [ "$actual" = "$expected" ] || fail "$archive holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"

  rm -rf "$unpacked"/*
  tar -xzf "$archive" -C "$unpacked"
  program="$unpacked/UpdateProgramManually"
  cmp -s "$program" "$build/UpdateProgramManually" || fail "the packed program is not the one just built"
  [ -x "$program" ] || fail "the packed program is not executable"
  tool="$unpacked/Bossac/1.9.1/bossac"
  [ -f "$tool" ] && [ ! -L "$tool" ] && [ -x "$tool" ] || fail "Bossac/1.9.1/bossac is no executable file"
  cmp -s "$tool" "$build/bossac-1.9.1/bossac" || fail "the packed bossac is not the one just built"
  # Its --help ends with status 1.
  help=$($emulator "$tool" --help || true)
  grep -q 'Version 1\.9\.1' <<< "$help" || fail "the packed bossac does not say it is version 1.9.1"
  grep -q 'Copyright (c) 2011-2016, ShumaTech' "$unpacked/Bossac/1.9.1/LICENSE.txt" \
    || fail "Bossac/1.9.1/LICENSE.txt lacks the tool's copyright notice"
  guide="$unpacked/README.txt"
  grep -q "UpdateProgramManually ${version} " "$guide" || fail "README.txt does not carry version ${version}"
  ! grep -q $'\r' "$guide" || fail "README.txt has Windows line breaks"
  # The Linux guide's own points, and none of the Windows one's.
  for text in 'group "dialout"' 'ttyACMn or ttyUSBn' '<Board>_App_<version>.bin' "the $arch one of three" \
              'Bossac/1.9.1/bossac' "sudo cp $rules /etc/udev/rules.d/" 'udevadm control --reload'; do
    grep -qF -- "$text" "$guide" || fail "README.txt does not say: $text"
  done
  ! grep -qiE '\.exe|COM[0-9]|double-click|bossa-cli|\[[WL#]\]' "$guide" \
    || fail "the Linux guide holds Windows lines, the old tool package or unfilled marks"

  # The udev rules: one rule per USB ID of the boards and the bootloader in
  # README.md's own words in its opening, where it lists the boards and the
  # bootloader (typed there by hand, not taken from the tables the rules are
  # made from; later sections name other IDs for tests), each on the tty, as
  # sysfs writes the IDs.
  rule='SUBSYSTEM=="tty", ATTRS\{idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f]{4})", ENV\{ID_MM_DEVICE_IGNORE\}="1", TAG\+="uaccess"'
  odd=$(grep -vE "^(#.*|$rule)?\$" "$unpacked/$rules" || true)
  [ -z "$odd" ] || fail "$rules holds other lines than its rules:"$'\n'"$odd"
  ids=$(sed -nE "s/^$rule\$/\1:\2/p" "$unpacked/$rules" | sort)
  documented=$(sed '/^## /q' README.md | grep -oE 'VID_[0-9A-F]{4}&PID_[0-9A-F]{4}' | sed -E 's/VID_(.{4})&PID_(.{4})/\L\1:\2/' | sort -u)
  [ "$ids" = "$documented" ] || fail "$rules has rules for"$'\n'"$ids"$'\n'"README.md names"$'\n'"$documented"
  echo "ok   $rules: ${ids//$'\n'/ }"

  # Static: no interpreter, no library, no symbol version; the archive's
  # architecture. (The pack step refuses any other; this checks it did.)
  for binary in "$program" "$tool"; do
    said=$(readelf -lhdV "$binary")
    ! grep -qE 'INTERP|\(NEEDED\)|GLIBC_' <<< "$said" || fail "${binary#"$unpacked/"} is linked dynamically"
    grep -qE "^ +Machine: +${machine[$arch]}\$" <<< "$said" || fail "${binary#"$unpacked/"} is not for $arch"
  done
  echo "ok   static, $arch: $(file -b "$program" | cut -d, -f1-2,4)"
  # And it starts: with no board attached, a wrong letter cancels with status 1.
  status=0
  echo X | $emulator "$program" > "$unpacked/run.txt" || status=$?
  [ $status -eq 1 ] && grep -q 'Invalid Letter' "$unpacked/run.txt" \
    || fail "the packed program did not run as expected (status $status): $(cat "$unpacked/run.txt")"
  echo "ok   $archive"
}

for build in "${builds[@]}"; do check_archive "$build"; done

# The pack step refuses what could not run alone, naming the file and what
# it is: an x86_64 tool in the arm64 kit, a program that needs the system's
# C library.
while IFS='|' read -r build name given refusal; do
  [ -d "$build/package" ] || continue  # only the presets' archives were built
  rm -rf "$unpacked/package"
  cp -r "$build/package" "$unpacked/package"
  cp "$given" "$unpacked/package/$name"
  status=0
  python3 packaging/make_archive.py "$unpacked/refused.tar.gz" . "$unpacked/package" \
    "$build/sbom-draft.json" > "$unpacked/said" 2>&1 || status=$?
  said=$(cat "$unpacked/said")
  [ $status -ne 0 ] && [ "$said" = "make_archive: refused $name: $refusal" ] && [ ! -e "$unpacked/refused.tar.gz" ] \
    || fail "packing $given as $name in $build (status $status): $said"
  echo "ok   $said"
done <<ROWS
build/linux-arm64-release|Bossac/1.9.1/bossac|build/linux-release/bossac-1.9.1/bossac|a program for x86_64, not arm64
build/linux-release|UpdateProgramManually|$(type -P true)|linked dynamically (interpreter /lib64/ld-linux-x86-64.so.2), needs libc.so.6, asks for symbol versions
ROWS

# Without its cross compiler, an ARM preset's toolchain file stops with one
# line that names the Debian package (here a PATH that has cmake and make
# alone).
mkdir "$unpacked/bin"
ln -s "$(type -P cmake)" "$(type -P make)" "$unpacked/bin/"
for row in "arm64 g++-aarch64-linux-gnu" "armhf g++-arm-linux-gnueabihf"; do
  read -r arch package <<< "$row"
  status=0
  PATH=$unpacked/bin cmake -S . -B "$unpacked/cross-$arch" --toolchain "cmake/linux-$arch.cmake" \
    > "$unpacked/said" 2>&1 || status=$?
  said=$(grep -F 'apt-get install' "$unpacked/said" | sed 's/^ *//')
  [ $status -ne 0 ] && [ "$said" = "No $arch cross compiler: apt-get install $package" ] \
    || fail "the $arch build without its compiler (status $status): $(cat "$unpacked/said")"
  echo "ok   refused: $said"
done

# The refusals, in a build folder of their own with the rest of the source as it is.
build=${builds[0]}
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
