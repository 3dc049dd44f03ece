#!/usr/bin/env bash
# A whole upload without hardware: the real program, in this terminal, finds
# a simulated "Quarnel" board, and the real flashing tool identifies, erases,
# writes, verifies and resets the board's simulated chip. Afterwards the
# image is read back out of the simulated flash.
#
#   scripts/demo.sh                   Linux: the program and bossac 1.9.1
#   scripts/demo.sh --windows         the Windows .exe and bossac.exe 1.9.1 under Wine
#   scripts/demo.sh [--windows] PROGRAM SIMULATED_BOARD [BOSSAC]   already built ones
#
# Everything it needs is installed and built on first use; the flashing
# tool is built from Debian's source of bossa (cmake/bossac.cmake), as for
# the releases.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
windows=false
if [ "${1:-}" = --windows ]; then
  windows=true
  shift
fi

# Whatever is missing, the deb-src entry for the tool's source included; it
# asks apt for nothing (and needs no root) when nothing is.
packages=demo
! $windows || packages=windows
"$root/scripts/install-test-deps.sh" "$packages"

program=${1:-}
board=${2:-}
tool=${3:-}
build="$root/build/demo"
if [ -z "$program" ] || [ -z "$board" ] || [ -z "$tool" ]; then
  # Builds of their own without the tests, so GoogleTest is not needed.
  echo "Building the program, the simulated board and the flashing tool in $build ..."
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPM_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j2 --target simulated_board >/dev/null
  board=${board:-"$build/demo/simulated_board"}
  if $windows; then
    cmake -S "$root" -B "$build-windows" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DUPM_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build-windows" -j2 --target UpdateProgramManually bossac >/dev/null
    program=${program:-"$build-windows/UpdateProgramManually.exe"}
    tool=${tool:-"$build-windows/bossac-1.9.1/bossac.exe"}
  else
    cmake --build "$build" -j2 --target UpdateProgramManually bossac >/dev/null
    program=${program:-"$build/UpdateProgramManually"}
    tool=${tool:-"$build/bossac-1.9.1/bossac"}
  fi
fi

program=$(realpath "$program")
board=$(realpath "$board")
tool=$(realpath "$tool")
folder=$(mktemp -d /tmp/upm-demo.XXXXXX)
trap 'rm -rf "$folder"' EXIT

# The program looks for images and the tool beside its own file.
program_file=$(basename "$program")
cp "$program" "$folder/$program_file"
# Two firmware images of a few KiB, as unlike each other as two real builds.
head -c 6000 /dev/urandom >"$folder/Quarnel_App_12_7.bin"
head -c 7100 /dev/urandom >"$folder/Quarnel_App_13_1.bin"
mkdir -p "$folder/Bossac/1.9.1"
cp "$tool" "$folder/Bossac/1.9.1/"
tool_line="Bossac/1.9.1/$(basename "$tool") (1.9.1, built from Debian's source)"

if $windows; then
  ports="COM8 = a \"Quarnel\" board (USB\\VID_3C7E&PID_5102),
  COM9 = its bootloader (USB\\VID_2341&PID_004D)"
  # A Wine prefix of the demo's own; Wine's device list (SetupAPI) shows
  # the two ports from the registry, and COM9 opens simulated_board's
  # pseudo-terminal through the prefix's dosdevices link.
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  echo "Preparing Wine in $WINEPREFIX (the first start takes a minute) ..."
  usb='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB'
  ports_class='{4D36E978-E325-11CE-BFC1-08002BE10318}'
  device() {  # VID_PID COM_NUMBER
    printf '[%s\\%s\\DEMO&%s]\n"ClassGUID"="%s"\n"FriendlyName"="USB Serial Device (COM%s)"\n' \
      "$usb" "$1" "$2" "$ports_class" "$2"
    printf '"HardwareID"=hex(7):%s\n\n' \
      "$(printf 'USB\\%s\0\0' "$1" | od -An -tx1 -v | tr -s ' \n' ',,' | sed 's/^,//;s/,$//')"
  }
  { printf 'REGEDIT4\n\n[-%s\\VID_3C7E&PID_5102]\n\n[-%s\\VID_2341&PID_004D]\n\n' "$usb" "$usb"
    device 'VID_3C7E&PID_5102' 8
    device 'VID_2341&PID_004D' 9; } >"$folder/ports.reg"
  # Wine's server, kept up for the whole demo, gets no terminal: started by
  # the first Wine program, it would keep that one's and write its own
  # notes there on its way out.
  mkdir -p "$WINEPREFIX"
  wineserver -p60 </dev/null >/dev/null 2>&1 || true
  wine regedit /S "Z:${folder//\//\\}\\ports.reg" </dev/null >/dev/null 2>&1
  run=("$board" --serial-link "$WINEPREFIX/dosdevices/com9" --flash-dump "$folder/flash.bin"
       -- wine "./$program_file")
else
  ports="ttyACM0 = a \"Quarnel\" board (VID 3C7E PID 5102),
  ttyACM1 = its bootloader (VID 2341 PID 004D)"
  run=("$board" --flash-dump "$folder/flash.bin" -- "./$program_file")
fi

cat <<INTRO
=== Demo: a whole upload, no hardware needed ===
Program folder: $folder
  $program_file, Quarnel_App_12_7.bin (6000 bytes),
  Quarnel_App_13_1.bin (7100 bytes), $tool_line
Simulated USB ports: $ports,
  a SAMD21G18A with 256 KiB of flash. Both are there from the start, so the
  first double-tap "works"; no button needs pressing.
Answer the prompts as a user would: a version number, then any key.
================================================
INTRO
cd "$folder"
status=0
"${run[@]}" || status=$?

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
