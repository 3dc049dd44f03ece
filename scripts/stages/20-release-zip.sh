#!/usr/bin/env bash
# Builds the operators' release ZIP from the Windows build and checks that it
# unpacks to the folder the program expects: the .exe, its guide, the
# notices and the bill of materials at the top, the flashing tool with its
# licence in Bossac/1.9.1/, and nothing else (no test program, no stand-in
# tool); both programs import only Windows' own DLLs.
#
#   scripts/stages/20-release-zip.sh [BUILD_DIR]   # default UPM_WINDOWS_BUILD or build/windows
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/release-build.bash
build=${1:-${UPM_WINDOWS_BUILD:-build/windows}}

# A release build the suite made (UPM_PREBUILT) is read as it is: packing
# it again would rewrite the archive under the stages reading it beside this.
prebuilt "${build#build/}" || cmake --build "$build" --target release_archive -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
zip="$build/UpdateProgramManually-${version}-win64.zip"
[ -n "$version" ] && [ -f "$zip" ] || { echo "FAIL no release ZIP at $zip"; exit 1; }
unzip -l "$zip"
(cd "$build" && sha256sum -c "${zip##*/}.sha256")

expected='Bossac/
Bossac/1.9.1/
Bossac/1.9.1/LICENSE.txt
Bossac/1.9.1/bossac.exe
README.txt
THIRD-PARTY-NOTICES.txt
UpdateProgramManually.exe
sbom.cdx.json'
actual=$(unzip -Z1 "$zip" | sort)
if [ "$actual" != "$expected" ]; then
  echo "FAIL $zip holds:"; echo "$actual"
  echo "expected:"; echo "$expected"
  exit 1
fi

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
unzip -q "$zip" -d "$unpacked"
fail() { echo "FAIL $*"; exit 1; }
cmp -s "$unpacked/UpdateProgramManually.exe" "$build/UpdateProgramManually.exe" \
  || fail "the packed .exe is not the one just built"
cmp -s "$unpacked/Bossac/1.9.1/bossac.exe" "$build/bossac-1.9.1/bossac.exe" \
  || fail "the packed bossac.exe is not the one just built"
grep -q 'Copyright (c) 2011-2016, ShumaTech' "$unpacked/Bossac/1.9.1/LICENSE.txt" \
  || fail "Bossac/1.9.1/LICENSE.txt lacks the tool's copyright notice"
grep -q "UpdateProgramManually ${version} " "$unpacked/README.txt" \
  || fail "README.txt does not carry version ${version}"
grep -q '<Board>_App_<version>\.bin' "$unpacked/README.txt" \
  || fail "README.txt does not say how images are named"
for text in README.txt THIRD-PARTY-NOTICES.txt Bossac/1.9.1/LICENSE.txt; do
  grep -q $'\r$' "$unpacked/$text" || fail "$text lacks Windows line breaks"
done
! grep -qE 'dialout|udev|bossa-cli|ttyACM|\[[WL#]\]' "$unpacked/README.txt" \
  || fail "the Windows guide holds Linux lines or unfilled marks"
scripts/stages/10-windows-dlls.sh "$unpacked/UpdateProgramManually.exe" "$unpacked/Bossac/1.9.1/bossac.exe"
echo "ok   $zip"
