#!/usr/bin/env bash
# The .exe carries what Explorer's Properties and allow-listing tools read,
# as Windows itself reads it (through version.dll, under Wine): the project's
# version in the version details, the file's name and description, and a
# manifest that runs the program with its user's rights (asInvoker) on
# Windows 7 to 11. Without that manifest, Windows would take a program named
# "Update..." for an installer and ask to elevate it.
#
#   scripts/stages/15-windows-resources.sh [BUILD_DIR]   # default UPM_WINDOWS_BUILD or build/windows
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-${UPM_WINDOWS_BUILD:-build/windows}}
exe="$build/UpdateProgramManually.exe"
[ -f "$exe" ] || cmake --build "$build" --target UpdateProgramManually -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "FAIL no project version in $build/CMakeCache.txt"; exit 1; }
# The four numbers of the fixed version, missing parts as 0.
IFS=. read -r -a parts <<<"$version"
while [ ${#parts[@]} -lt 4 ]; do parts+=(0); done
numbers=$(IFS=.; echo "${parts[*]}")

# The checker imports version.dll, which the program must not: it is built
# here, away from the build's own programs.
work=$(mktemp -d)
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# Wine's server outlives the checker by seconds: ended here, with the stage.
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
x86_64-w64-mingw32-g++-posix -O1 -Wall -Wextra -Werror -static \
  -o "$work/resource_check.exe" tests/windows/resource_check.cpp -lversion
report=$(wine "$work/resource_check.exe" "$exe" < /dev/null 2>/dev/null | tr -d '\r') || {
  echo "FAIL $exe: resources not readable:"; echo "$report"; exit 1; }

failed=0
expect() {  # a line the report must hold, as a fixed string
  if grep -qxF -- "$1" <<<"$report"; then echo "ok   $1"; else echo "FAIL missing: $1"; failed=1; fi
}
holds() {  # text the manifest must hold
  if grep -qF -- "$1" <<<"$report"; then echo "ok   manifest: $1"; else echo "FAIL manifest lacks: $1"; failed=1; fi
}
expect "FILEVERSION=$numbers"
expect "PRODUCTVERSION=$numbers"
expect "FileVersion=$version"
expect "ProductVersion=$version"
expect "OriginalFilename=UpdateProgramManually.exe"
expect "InternalName=UpdateProgramManually"
expect "ProductName=UpdateProgramManually"
grep -q '^FileDescription=.' <<<"$report" && echo "ok   FileDescription" \
  || { echo "FAIL no FileDescription"; failed=1; }
holds '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>'
for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
          1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  holds "<supportedOS Id=\"{$os}\"/>"  # Windows 7, 8, 8.1, 10 and 11
done
[ $failed -eq 0 ] || { echo "$report"; exit 1; }
echo "ok   $exe"
