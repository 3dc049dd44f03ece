#!/usr/bin/env bash
# The Linux archive's udev rules on the real kernel, in one boot of
# scripts/run-in-vm.sh: Debian's systemd-udevd with the archive's rules file
# in /run/udev/rules.d/, ModemManager on a system D-Bus of the guest's own,
# and each row's board plugged in turn as a USB gadget on dummy_hcd by
# simulated_board --usb-gadget, the same gadget code as the real-kernel rows. Each known board and the bootloader get ID_MM_DEVICE_IGNORE and
# the tags "uaccess" and "seat" (the latter from 71-seat.rules: the rules run
# early enough), and ModemManager filters the port; a device with other IDs
# gets neither and ModemManager takes it; without the rules, so does the
# bootloader. ModemManager's own words are shown for each row.
#
#   scripts/stages/23-udev-rules.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL $*"; exit 1; }

# USB ID, simulated_board's --board (none: the bootloader; an ID of no board
# of ours), with or without the rules, what must become of the port.
# 1209:0001 is pid.codes' test ID: no board of ours, and no modem either.
rows=(
  "3c7e 5101 Bravik            with    ignored"
  "3c7e 5102 Quarnel           with    ignored"
  "3c7e 5103 Dovrel            with    ignored"
  "3c7e 5104 Harlun            with    ignored"
  "2341 004d none              with    ignored"
  "1209 0001 VID_1209&PID_0001 with    taken"
  "2341 004d none              without taken"
)

# --- In the guest, as root -------------------------------------------------------

mm_log=/tmp/modemmanager.log

host_tty() {  # the tty that cdc_acm made for the board, if any
  local found
  found=$(compgen -G '/sys/bus/usb/drivers/cdc_acm/*/tty/ttyACM*' | head -n 1)
  echo "${found##*/}"
}

# ModemManager's verdict on TTY in its log after line FROM: it filters the
# port, or grabs it and starts probing it. Sets said.
mm_verdict() {  # TTY FROM
  said=""
  for _ in $(seq 150); do
    said=$(tail -n "+$2" "$mm_log" | grep -E "\(tty/$1\): port filtered|port grabbed: $1|$1.*(task|probing)" || true)
    grep -q 'port filtered' <<< "$said" && break
    grep -q 'task' <<< "$said" && break
    sleep 0.2
  done
  # Without the process and time stamp: what it said.
  said=$(sed -E 's/^ModemManager\[[0-9]+\]: <([a-z]+)> \[[0-9.]+\] /\1: /' <<< "$said" | head -n 4)
}

# One row, as simulated_board's PROGRAM while the board is plugged in: what
# udev made of the port and what ModemManager said of it since line FROM.
check_row() {  # VENDOR PRODUCT BOARD RULES EXPECTED FROM
  local vendor=$1 product=$2 board=$3 rules=$4 expected=$5 from=$6 tty properties tags said
  udevadm settle
  tty=$(host_tty)
  [ -n "$tty" ] || fail "$vendor:$product: no ttyACM"
  properties=$(udevadm info --query=property --name="/dev/$tty")
  tags=$(sed -n 's/^TAGS=//p' <<< "$properties")
  mm_verdict "$tty" "$from"
  local what="$vendor:$product $board, $rules the rules: $tty"
  grep -qx "ID_VENDOR_ID=$vendor" <<< "$properties" && grep -qx "ID_MODEL_ID=$product" <<< "$properties" \
    || fail "$what is not plugged in with its ID:"$'\n'"$properties"
  if [ "$expected" = ignored ]; then
    grep -qx 'ID_MM_DEVICE_IGNORE=1' <<< "$properties" || fail "$what lacks ID_MM_DEVICE_IGNORE=1"
    [[ $tags == *:uaccess:* && $tags == *:seat:* ]] || fail "$what has the tags $tags, not uaccess and seat"
    grep -q 'port filtered: device is blocklisted' <<< "$said" \
      || fail "$what: ModemManager did not filter it:"$'\n'"$said"
  else
    ! grep -q '^ID_MM_DEVICE_IGNORE=' <<< "$properties" || fail "$what has ID_MM_DEVICE_IGNORE"
    [[ $tags != *:uaccess:* ]] || fail "$what has the tag uaccess"
    grep -q "port grabbed: $tty" <<< "$said" || fail "$what: ModemManager did not take it:"$'\n'"$said"
  fi
  echo "ok   $what, $(grep -E '^ID_MM_(DEVICE_IGNORE|CANDIDATE)=' <<< "$properties" | tr '\n' ' ')TAGS=$tags"
  sed 's/^/       ModemManager /' <<< "$said"
}

guest_rows() {  # RULES_FILE SIMULATED_BOARD
  local start=$SECONDS
  mkdir -p /run/udev/rules.d /run/dbus
  cp "$1" /run/udev/rules.d/
  dbus-daemon --system --fork
  /lib/systemd/systemd-udevd --daemon 2>/dev/null
  ModemManager --debug > "$mm_log" 2>&1 &
  for _ in $(seq 150); do mmcli -L > /dev/null 2>&1 && break; sleep 0.2; done
  mmcli -L > /dev/null 2>&1 || fail "ModemManager did not come up: $(tail -n 5 "$mm_log")"

  local row vendor product board rules expected from
  for row in "${rows[@]}"; do
    read -r vendor product board rules expected <<< "$row"
    if [ "$rules" = without ] && [ -e "/run/udev/rules.d/${1##*/}" ]; then
      rm "/run/udev/rules.d/${1##*/}"
      udevadm control --reload
    fi
    from=$(( $(wc -l < "$mm_log") + 1 ))
    # The board is plugged in while the check runs, and unplugged after it.
    "$2" --usb-gadget --board "$board" -- bash "$0" --check-row \
      "$vendor" "$product" "$board" "$rules" "$expected" "$from" 2> /tmp/simulated_board.log \
      || fail "$vendor:$product $board: $(cat /tmp/simulated_board.log)"
    udevadm settle
  done
  echo "ok   ${#rows[@]} rows in $((SECONDS - start)) s of the guest's time, ModemManager's start included"
}

case "${1:-}" in
  --guest) guest_rows "$2" "$3"; exit 0 ;;
  --check-row) shift; check_row "$@"; exit 0 ;;
esac

# --- On the host -------------------------------------------------------------------

for tool in /lib/systemd/systemd-udevd:udev /usr/sbin/ModemManager:modemmanager dbus-daemon:dbus; do
  command -v "${tool%%:*}" > /dev/null ||
    fail "${tool%%:*} is missing: scripts/install-test-deps.sh installs it (package ${tool#*:})"
done
board=build/native/demo/simulated_board
[ -x "$board" ] || fail "no $board (cmake --build --preset native)"
source scripts/stages/release-build.bash
release_build linux-release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/linux-release/CMakeCache.txt)
archive="build/linux-release/UpdateProgramManually-${version}-linux-x86_64.tar.gz"
rules=69-updateprogrammanually.rules
# In the current folder, which the guest shares; its /tmp is its own.
work=$(mktemp -d "$PWD/build/udev-rules.XXXXXX")
trap 'rm -rf "$work"' EXIT
tar -xzf "$archive" -C "$work" "$rules"
start=$SECONDS
UPM_VM_TIMEOUT=${UPM_VM_TIMEOUT:-300} scripts/run-in-vm.sh bash "$0" --guest "$work/$rules" "$board"
echo "ok   the udev rules of $archive on the real kernel ($((SECONDS - start)) s, one boot)"
