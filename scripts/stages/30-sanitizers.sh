#!/usr/bin/env bash
# The whole Linux suite, end-to-end runs included, with the program and the
# tests built under AddressSanitizer and UndefinedBehaviorSanitizer. Any
# report ends the process that made it with a failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/real-tool-rows.bash

cmake --preset asan -DUPM_WARNINGS_AS_ERRORS=ON
cmake --build --preset asan
cmake --build --preset asan --target bossac

# A build that silently lost its flags would pass everything and prove nothing.
# grep reads all of nm's output: with -q it would quit early and, under
# pipefail, nm's broken pipe would fail the check.
if ! nm -C build/asan/UpdateProgramManually | grep '__asan_init' > /dev/null; then
  echo "build/asan/UpdateProgramManually is not instrumented" >&2
  exit 1
fi

# The preset's test environment carries ASAN_OPTIONS/UBSAN_OPTIONS.
ctest --preset asan

# The serial-link side of this build's simulated_board, which only the
# Windows program uses: the real-tool rows under Wine.
real_tool_rows windows build/asan/demo/simulated_board
