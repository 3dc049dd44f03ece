#!/usr/bin/env bash
# A demo without hardware: runs the real program, in this terminal, against a
# simulated "Quarnel" board and its bootloader, with two sample images and a
# stand-in flashing tool that only says what the real one would do.
#
#   scripts/demo.sh                   builds the program (preset "native") first
#   scripts/demo.sh path/to/program   uses an already built program
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if ! command -v umockdev-run >/dev/null || ! command -v cmake >/dev/null; then
  "$root/scripts/install-test-deps.sh"
fi

program=${1:-}
if [ -z "$program" ]; then
  (cd "$root" && cmake --preset native >/dev/null &&
     cmake --build --preset native --target UpdateProgramManually >/dev/null)
  program="$root/build/native/UpdateProgramManually"
fi

folder=$(mktemp -d /tmp/upm-demo.XXXXXX)
trap 'rm -rf "$folder"' EXIT

# The program looks for images and the tool beside its own file.
cp "$program" "$folder/UpdateProgramManually"
printf 'demo image 1.2\n' >"$folder/Quarnel_App_12_7.bin"
printf 'demo image 1.3\n' >"$folder/Quarnel_App_13_1.bin"
mkdir -p "$folder/Bossac/1.9.1"
cat >"$folder/Bossac/1.9.1/bossac" <<'TOOL'
#!/bin/sh
# Stand-in for the flashing tool: writes nothing anywhere.
echo "---- stand-in bossac: this is NOT the real flashing tool; no board is touched ----"
echo "It was started with $# arguments:"
for argument in "$@"; do printf '  [%s]\n' "$argument"; done
echo "The real bossac 1.9.1 would now:"
for argument in "$@"; do
  case $argument in
    --port=*) echo "  open the serial port /dev/${argument#--port=} (the bootloader's)" ;;
    -i) echo "  print what it learns about the board's chip" ;;
    -e) echo "  erase the application area of the flash" ;;
    -w) echo "  write the image named below into the flash" ;;
    -v) echo "  read the flash back and compare it with that image" ;;
    --offset=*) echo "  place the image at ${argument#--offset=}, past the bootloader" ;;
    -R) echo "  reset the board so that the new firmware starts" ;;
    -*) echo "  (unknown option $argument)" ;;
    *) echo "  the image: $argument ($(wc -c <"$argument") bytes)" ;;
  esac
done
echo "---- end of stand-in bossac ----"
TOOL
chmod +x "$folder/Bossac/1.9.1/bossac"

# One umockdev record per simulated USB CDC-ACM port: tty -> interface -> device.
usb_acm_record() {  # node usb-device-name idVendor idProduct product
  local device="/devices/pci0000:00/0000:00:14.0/usb1/$2"
  printf 'P: %s/%s:1.0/tty/%s\nN: %s\nE: SUBSYSTEM=tty\nL: device=../..\n\n' "$device" "$2" "$1" "$1"
  printf 'P: %s/%s:1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n\n' "$device" "$2"
  printf 'P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n' "$device"
  printf 'A: idVendor=%s\nA: idProduct=%s\nA: bcdDevice=0100\nA: product=%s\n\n' "$3" "$4" "$5"
}
usb_acm_record ttyACM0 1-1 3c7e 5102 "Quarnel" >"$folder/quarnel.umockdev"
usb_acm_record ttyACM1 1-2 2341 004d "Bootloader" >"$folder/bootloader.umockdev"

cat <<INTRO
=== Demo: no hardware needed ===
Program folder: $folder
  UpdateProgramManually, Quarnel_App_12_7.bin, Quarnel_App_13_1.bin,
  Bossac/1.9.1/bossac (a stand-in that only prints what it would do)
Simulated USB ports: ttyACM0 = a "Quarnel" board (VID 3C7E PID 5102),
  ttyACM1 = its bootloader (VID 2341 PID 004D). Both are present from the
  start, so the first double-tap "works"; no button needs pressing.
Answer the prompts as a user would: a version number, then any key.
================================
INTRO
cd "$folder"
umockdev-run -d quarnel.umockdev -d bootloader.umockdev -- ./UpdateProgramManually
