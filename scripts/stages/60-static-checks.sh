#!/usr/bin/env bash
# clang-tidy (checks in .clang-tidy) and cppcheck over the product code, the
# simulated board and the udev rules' writer included; the documents'
# relative links, and the files, presets, targets and suite steps they name
# (which also holds every test preset to failing on zero tests).
# Nothing may be reported; a finding that stays is silenced at its site with
# its reason. Uses the compile databases of the native and windows builds.
set -euo pipefail
cd "$(dirname "$0")/../.."
native="${UPM_NATIVE_BUILD:-build/native}"
windows="${UPM_WINDOWS_BUILD:-build/windows}"
[ -f "$native/compile_commands.json" ] || cmake --preset native > /dev/null
[ -f "$windows/compile_commands.json" ] || cmake --preset windows > /dev/null

shared=(app/*.cpp detection/*.cpp firmware/*.cpp)

echo "--- clang-tidy, Linux build"
# -Wno-format-truncation is GCC's; clang would flag the option itself.
clang-tidy --quiet -p "$native" --extra-arg=-Wno-unknown-warning-option \
  "${shared[@]}" platform/platform_linux.cpp

echo "--- clang-tidy, the simulated board and the udev rules' writer"
clang-tidy --quiet -p "$native" --extra-arg=-Wno-unknown-warning-option demo/*.cpp packaging/linux/*.cpp

echo "--- clang-tidy, Windows platform file"
# clang reads the MinGW-w64 headers the cross build uses; its own builtin
# headers stand in for GCC's intrinsics, which clang cannot parse.
gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
clang-tidy --quiet -p "$windows" --extra-arg=-Wno-unknown-warning-option \
  --extra-arg-before=--target=x86_64-w64-mingw32 --extra-arg-before=-nostdinc++ \
  --extra-arg-before=-isystem"$gcc_dir/include/c++" \
  --extra-arg-before=-isystem"$gcc_dir/include/c++/x86_64-w64-mingw32" \
  --extra-arg-before=-isystem/usr/x86_64-w64-mingw32/include \
  platform/platform_windows.cpp

# One run per platform: the two platform files define the same opaque types
# and are never linked together.
for platform in linux windows; do
  echo "--- cppcheck, ${platform}"
  cppcheck --enable=warning,portability,performance --error-exitcode=1 --inline-suppr \
    --std=c++17 --language=c++ --quiet -I platform -I detection -I firmware -I app \
    "${shared[@]}" "platform/platform_${platform}.cpp"
done
echo "--- cppcheck, the simulated board and the udev rules' writer"
cppcheck --enable=warning,portability,performance --error-exitcode=1 --inline-suppr \
  --std=c++17 --language=c++ --quiet -I platform -I detection -I demo demo/*.cpp packaging/linux/*.cpp
echo "--- links of README.md and docs/"
python3 scripts/check-doc-links.py
echo "--- files, presets, targets and steps named in README.md and docs/"
python3 scripts/check-doc-names.py "$native" "$windows"
echo "Static checks clean."
