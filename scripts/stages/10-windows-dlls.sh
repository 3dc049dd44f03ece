#!/usr/bin/env bash
# The Windows .exe is copied alone onto operators' machines, and the test
# programs run alone under Wine: none of them may need a DLL that Windows
# does not bring itself (a MinGW runtime DLL, say). Fails when one does.
#
#   scripts/stages/10-windows-dlls.sh            # the Windows builds' programs
#   scripts/stages/10-windows-dlls.sh FILE.exe…  # just these files
set -euo pipefail
files=()
for f in "$@"; do files+=("$(realpath -m -- "$f")"); done
cd "$(dirname "$0")/../.."

# Windows' own: the kernel, SetupAPI, the registry, the user interface
# library and the C runtime, old (msvcrt) or universal (ucrtbase and its
# api-ms-win-crt-* forwarders).
system_dll='^(kernel32|setupapi|advapi32|user32|msvcrt|ucrtbase)\.dll$|^api-ms-win-crt-[a-z0-9-]+\.dll$'

if [ $# -eq 0 ]; then
  build=${UPM_WINDOWS_BUILD:-build/windows}
  files=("$build/UpdateProgramManually.exe")
  # The test programs of that build and of the suite's Windows test build.
  for tests in "$build/tests" build/coverage-windows/tests; do
    [ -d "$tests" ] || continue
    while IFS= read -r f; do files+=("$f"); done \
      < <(find "$tests" -name '*.exe' -not -path '*/CMakeFiles/*' | sort)
  done
fi

failed=0
for file in "${files[@]}"; do
  if ! dump=$(x86_64-w64-mingw32-objdump -p "$file" 2>&1); then
    echo "FAIL $file: cannot be read as a Windows program: $dump"
    failed=1
    continue
  fi
  dlls=$(awk '/DLL Name:/ {print $3}' <<<"$dump")
  # Every Windows program imports something; none read means a misread dump.
  if [ -z "$dlls" ]; then
    echo "FAIL $file: no imported DLL found in its import table"
    failed=1
    continue
  fi
  foreign=$(grep -viE "$system_dll" <<<"$dlls" || true)
  if [ -n "$foreign" ]; then
    echo "FAIL $file imports DLLs Windows does not bring:" $foreign
    failed=1
  else
    echo "ok   $file:" $dlls
  fi
done
exit $failed
