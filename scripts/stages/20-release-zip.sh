#!/usr/bin/env bash
# Builds the operators' release ZIP from the Windows build and checks that it
# unpacks to the folder the program expects: the .exe and its guide at the
# top, the flashing tool's empty place in Bossac/1.9.1/, and nothing else
# (no test program, no stand-in tool).
#
#   scripts/stages/20-release-zip.sh [BUILD_DIR]   # default build/windows
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/windows}

cmake --build "$build" --target release_archive -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
zip="$build/UpdateProgramManually-${version}-win64.zip"
[ -n "$version" ] && [ -f "$zip" ] || { echo "FAIL no release ZIP at $zip"; exit 1; }
unzip -l "$zip"
(cd "$build" && sha256sum -c "${zip##*/}.sha256")

expected='Bossac/
Bossac/1.9.1/
Bossac/1.9.1/PUT-BOSSAC-HERE.txt
README.txt
UpdateProgramManually.exe'
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
grep -q 'bossac\.exe, version 1\.9\.1' "$unpacked/Bossac/1.9.1/PUT-BOSSAC-HERE.txt" \
  || fail "PUT-BOSSAC-HERE.txt does not name bossac.exe 1.9.1"
grep -q "UpdateProgramManually ${version} " "$unpacked/README.txt" \
  || fail "README.txt does not carry version ${version}"
grep -q '<Board>_App_<version>\.bin' "$unpacked/README.txt" \
  || fail "README.txt does not say how images are named"
grep -q $'\r$' "$unpacked/README.txt" || fail "README.txt lacks Windows line breaks"
! grep -qE 'dialout|bossa-cli|ttyACM|\[[WL#]\]' "$unpacked/README.txt" "$unpacked/Bossac/1.9.1/PUT-BOSSAC-HERE.txt" \
  || fail "the Windows texts hold Linux lines or unfilled marks"
scripts/stages/10-windows-dlls.sh "$unpacked/UpdateProgramManually.exe"
echo "ok   $zip"
