#!/usr/bin/env bash
# needs: native windows linux-release windows-release
# The release archives as shipped are a complete kit: their bill of
# materials is valid CycloneDX 1.6 (by the CycloneDX project's own strict
# validator) and gives the SHA-256 of every program as it stands in the
# archive; the notices name every component the linker took for either
# program; and the program and flashing tool from each archive, unpacked
# as an operator would, flash simulated_board (the real-tool rows of
# tests/e2e/e2e.py).
#
#   scripts/stages/27-release-kit.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/real-tool-rows.bash
source scripts/stages/check-kit.bash
source scripts/stages/release-build.bash
fail() { echo "FAIL $*"; exit 1; }
kit_validator_present || fail "no CycloneDX validator in $kit_validator"

release_build windows-release
release_build linux-release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/linux-release/CMakeCache.txt)
zip=build/windows-release/UpdateProgramManually-${version}-win64.zip
tgz=build/linux-release/UpdateProgramManually-${version}-linux-x86_64.tar.gz

check_kit "$zip" build/windows-release UpdateProgramManually.exe Bossac/1.9.1/bossac.exe
check_kit "$tgz" build/linux-release UpdateProgramManually Bossac/1.9.1/bossac

# As shipped: each archive's own program and tool flash the simulated board.
board=build/native/demo/simulated_board
[ -x "$board" ] || fail "no $board (the native build makes it)"
real_tool_rows linux "$board" --release "$tgz"
real_tool_rows windows "$board" --release "$zip"
echo "ok   both archives flash the simulated board as shipped"
