#!/usr/bin/env bash
# A whole upload without hardware: the real program, in this terminal, finds
# a simulated "Quarnel" board, and the real flashing tool (Debian's bossac
# 1.9.1) identifies, erases, writes, verifies and resets the board's
# simulated chip. Afterwards the image is read back out of the simulated flash.
#
#   scripts/demo.sh                            installs and builds what it needs
#   scripts/demo.sh PROGRAM SIMULATED_BOARD    uses already built ones
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if ! { command -v cmake && command -v g++ && command -v bossac &&
       pkg-config --exists umockdev-1.0; } >/dev/null 2>&1; then
  "$root/scripts/install-test-deps.sh" demo
fi

program=${1:-}
board=${2:-}
if [ -z "$program" ] || [ -z "$board" ]; then
  # A build of its own without the tests, so GoogleTest is not needed.
  build="$root/build/demo"
  echo "Building the program and the simulated board in $build ..."
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPM_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target UpdateProgramManually simulated_board >/dev/null
  program="$build/UpdateProgramManually"
  board="$build/demo/simulated_board"
fi

program=$(realpath "$program")
board=$(realpath "$board")
folder=$(mktemp -d /tmp/upm-demo.XXXXXX)
trap 'rm -rf "$folder"' EXIT

# The program looks for images and the tool beside its own file.
cp "$program" "$folder/UpdateProgramManually"
# Two firmware images of a few KiB, as unlike each other as two real builds.
head -c 6000 /dev/urandom >"$folder/Quarnel_App_12_7.bin"
head -c 7100 /dev/urandom >"$folder/Quarnel_App_13_1.bin"
mkdir -p "$folder/Bossac/1.9.1"
ln -s "$(command -v bossac)" "$folder/Bossac/1.9.1/bossac"

cat <<INTRO
=== Demo: a whole upload, no hardware needed ===
Program folder: $folder
  UpdateProgramManually, Quarnel_App_12_7.bin (6000 bytes),
  Quarnel_App_13_1.bin (7100 bytes), Bossac/1.9.1/bossac -> $(command -v bossac)
Simulated USB ports: ttyACM0 = a "Quarnel" board (VID 3C7E PID 5102),
  ttyACM1 = its bootloader (VID 2341 PID 004D), a SAMD21G18A with 256 KiB of
  flash. Both are there from the start, so the first double-tap "works"; no
  button needs pressing.
Answer the prompts as a user would: a version number, then any key.
================================================
INTRO
cd "$folder"
status=0
"$board" --flash-dump "$folder/flash.bin" -- ./UpdateProgramManually || status=$?

echo
echo "=== The simulated flash after the run ==="
matched=""
for image in Quarnel_App_12_7.bin Quarnel_App_13_1.bin; do
  size=$(stat -c %s "$image")
  # Images go to 0x2000, past the bootloader's 8 KiB.
  if cmp -s -n "$size" -i 0:8192 "$image" flash.bin; then
    printf 'At 0x00002000-0x%08X (%d bytes): %s, byte for byte.\n' \
      $((0x2000 + size - 1)) "$size" "$image"
    matched=$image
  fi
done
[ -n "$matched" ] || echo "Neither image is at 0x2000: the upload did not complete."
exit "$status"
