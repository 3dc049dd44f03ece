#!/usr/bin/env bash
# The release archives as shipped are a complete kit: their bill of
# materials is valid CycloneDX 1.6 (by the CycloneDX project's own strict
# validator) and gives the SHA-256 of every program as it stands in the
# archive; the notices name every component the linker took for either
# program (the three Linux archives and the Windows ZIP); and the program
# and flashing tool from the Windows archive, unpacked as an operator would,
# flash simulated_board under Wine (the real-tool rows of tests/e2e/e2e.py).
# The Linux archives' programs are static: umockdev's testbed, a library
# preloaded into the programs it fakes devices for, cannot reach into them,
# so they flash a board on the real kernel's USB stack instead (stage 45).
#
#   scripts/stages/27-release-kit.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/real-tool-rows.bash
source scripts/stages/check-kit.bash
source scripts/stages/release-build.bash
fail() { echo "FAIL $*"; exit 1; }
kit_validator_present || fail "no CycloneDX validator in $kit_validator"

for preset in windows-release linux-release linux-arm64-release linux-armhf-release; do
  release_build "$preset"
done
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' build/linux-release/CMakeCache.txt)
zip=build/windows-release/UpdateProgramManually-${version}-win64.zip
tgz=build/linux-release/UpdateProgramManually-${version}-linux-x86_64.tar.gz

check_kit "$zip" build/windows-release UpdateProgramManually.exe Bossac/1.9.1/bossac.exe
check_kit "$tgz" build/linux-release UpdateProgramManually Bossac/1.9.1/bossac
for arch in arm64 armhf; do
  check_kit "build/linux-$arch-release/UpdateProgramManually-${version}-linux-$arch.tar.gz" \
    "build/linux-$arch-release" UpdateProgramManually Bossac/1.9.1/bossac
done

# As shipped: the ZIP's own program and tool flash the simulated board.
board=build/native/demo/simulated_board
[ -x "$board" ] || fail "no $board (the native build makes it)"
real_tool_rows windows "$board" --release "$zip"
echo "ok   the ZIP flashes the simulated board as shipped"
