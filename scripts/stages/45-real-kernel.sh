#!/usr/bin/env bash
# The program and the real flashing tool on the real kernel's USB stack, in
# one boot of scripts/run-in-vm.sh: simulated_board --usb-gadget's boards
# are gadgets on dummy_hcd that cdc_acm enumerates, and a double tap
# re-enumerates a board as its bootloader. The real-tool rows of
# tests/e2e/e2e.py for the kernel backend: a whole upload, the tap too late,
# no tap, unplugs in the middle of the write, two boards, no board; then
# each Linux release archive as shipped (x86_64, arm64, armhf), unpacked into
# a root that holds nothing but the kit and /dev, /proc, /sys, flashing with
# its own tool: the whole upload, the tap too late, an unplug while the tool
# waits for an answer. The ARM programs run under qemu-user-static, registered
# with binfmt_misc in the guest; the USB stack is still the guest kernel's.
#
#   scripts/stages/45-real-kernel.sh
#
# Each row has a minute (in an empty root two: the ARM programs are
# emulated twice over); UPM_VM_TIMEOUT (default 600 s, for eighteen rows)
# bounds the whole boot, so any fault fails the stage rather than hang it.
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL $*"; exit 1; }
build=build/native
for file in UpdateProgramManually demo/simulated_board bossac-1.9.1/bossac tests/e2e/fake_bossac; do
  [ -x "$build/$file" ] || fail "no $build/$file (cmake --build --preset native, and --target bossac)"
done
for conf in qemu-aarch64 qemu-arm; do
  [ -r "/usr/lib/binfmt.d/$conf.conf" ] ||
    fail "no /usr/lib/binfmt.d/$conf.conf (scripts/install-test-deps.sh installs qemu-user-static)"
done
source scripts/stages/release-build.bash
archives=()
for kit in linux-release:x86_64 linux-arm64-release:arm64 linux-armhf-release:armhf; do
  preset=${kit%%:*}
  release_build "$preset" || fail "cmake --workflow --preset $preset"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "build/$preset/CMakeCache.txt")
  archives+=("build/$preset/UpdateProgramManually-${version}-linux-${kit#*:}.tar.gz")
done

e2e=(python3 tests/e2e/e2e.py --backend kernel --program "$build/UpdateProgramManually"
     --fake-bossac "$build/tests/e2e/fake_bossac" --simulated-board "$build/demo/simulated_board"
     --real-bossac "$build/bossac-1.9.1/bossac" -k test_real_flashing_tool)
# In the guest: the ARM emulators registered first (the F flag opens each
# one now, so that the kit's empty root needs no copy of it); then the rows,
# then each archive's. Every run goes whatever the others' outcome; the
# status is 0 only if all pass.
guest='for conf in qemu-aarch64 qemu-arm; do
         cat "/usr/lib/binfmt.d/$conf.conf" > /proc/sys/fs/binfmt_misc/register || exit 1
       done
       echo "-- the rows of the native build"
       "$@"; status=$?
       for archive in $UPM_KERNEL_ARCHIVES; do
         echo "-- ${archive##*/} in an empty root"
         "$@" --release "$archive" --empty-root \
           --rows whole_upload,bootloader_at_second_attempt,unplugged_awaiting_answer || status=1
       done
       exit $status'
log=$(mktemp)
trap 'rm -f "$log"' EXIT
started=$SECONDS
status=0
UPM_KERNEL_ARCHIVES=${archives[*]} UPM_VM_TIMEOUT=${UPM_VM_TIMEOUT:-600} \
  scripts/run-in-vm.sh bash -c "$guest" e2e "${e2e[@]}" 2>&1 | tee "$log" || status=$?
echo "the real kernel's rows took $((SECONDS - started)) s, boot included"
if [ "$status" -ne 0 ]; then
  rows=$(sed -n 's/^FAIL: .*\[\(.*\)\]$/\1/p; s/^ERROR: .*\[\(.*\)\]$/\1/p' "$log" | sort -u | paste -sd ';' | sed 's/;/; /g')
  # Out of time, the failure names the run it cut short.
  [ "$status" -ne 124 ] || rows+="${rows:+; }cut short in: $(sed -n 's/^-- //p' "$log" | tail -n 1)"
  fail "on the real kernel (status $status): ${rows:-see above}"
fi
echo "ok   the real kernel: every row, and each Linux archive as shipped in an empty root"
