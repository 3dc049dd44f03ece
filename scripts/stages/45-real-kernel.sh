#!/usr/bin/env bash
# needs: native linux-release
# uses: vm
# The program and the real flashing tool on the real kernel's USB stack, in
# one boot of scripts/run-in-vm.sh: simulated_board --usb-gadget's boards
# are gadgets on dummy_hcd that cdc_acm enumerates, and a double tap
# re-enumerates a board as its bootloader. The real-tool rows of
# tests/e2e/e2e.py for the kernel backend: a whole upload, the tap too late,
# no tap, unplugs in the middle of the write, two boards, no board; then the
# Linux release archive as shipped, flashing with its own tool.
#
#   scripts/stages/45-real-kernel.sh
#
# Each row has a minute; UPM_VM_TIMEOUT (default 400 s) bounds the whole
# boot, so any fault fails the stage rather than hang it.
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL $*"; exit 1; }
build=build/native
for file in UpdateProgramManually demo/simulated_board bossac-1.9.1/bossac tests/e2e/fake_bossac; do
  [ -x "$build/$file" ] || fail "no $build/$file (cmake --build --preset native, and --target bossac)"
done
source scripts/stages/release-build.bash
release_build linux-release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/linux-release/CMakeCache.txt)
archive=build/linux-release/UpdateProgramManually-${version}-linux-x86_64.tar.gz

e2e=(python3 tests/e2e/e2e.py --backend kernel --program "$build/UpdateProgramManually"
     --fake-bossac "$build/tests/e2e/fake_bossac" --simulated-board "$build/demo/simulated_board"
     --real-bossac "$build/bossac-1.9.1/bossac" -k test_real_flashing_tool)
# Both runs whatever the first one's outcome; the status is 0 only if both pass.
guest='"$@"; rows=$?; "$@" --release "$UPM_KERNEL_ARCHIVE" --rows whole_upload || exit 1; exit $rows'
log=$(mktemp)
trap 'rm -f "$log"' EXIT
started=$SECONDS
status=0
UPM_KERNEL_ARCHIVE=$archive UPM_VM_TIMEOUT=${UPM_VM_TIMEOUT:-400} \
  scripts/run-in-vm.sh bash -c "$guest" e2e "${e2e[@]}" 2>&1 | tee "$log" || status=$?
echo "the real kernel's rows took $((SECONDS - started)) s, boot included"
if [ "$status" -ne 0 ]; then
  rows=$(sed -n 's/^FAIL: .*\[\(.*\)\]$/\1/p; s/^ERROR: .*\[\(.*\)\]$/\1/p' "$log" | sort -u | tr '\n' ' ')
  fail "on the real kernel (status $status): ${rows:-see above}"
fi
echo "ok   the real kernel: every row, and the release archive as shipped"
