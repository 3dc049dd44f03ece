#!/usr/bin/env bash
# The release archives as shipped are a complete kit: their bill of
# materials is valid CycloneDX 1.6 (by the CycloneDX project's own strict
# validator) and gives the SHA-256 of every program as it stands in the
# archive; the notices name every component the linker took for either
# program (the three Linux archives and the Windows ZIP). That the kits
# flash as shipped is shown elsewhere: the Linux archives' programs on the
# real kernel's USB stack (stage 45; they are static, out of reach of
# umockdev's preloaded testbed), the Windows ZIP's program and tool signed
# (stage 26), which stage 26's verify-release.sh finds to be stage 25's
# fresh build of the commit plus signatures, which stage 25 finds to be
# byte for byte this one.
#
#   scripts/stages/27-release-kit.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
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
