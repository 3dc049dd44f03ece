#!/usr/bin/env bash
# Every Linux test, end-to-end runs and the real-tool rows included, with
# the program and the tests built under AddressSanitizer and
# UndefinedBehaviorSanitizer (preset coverage-linux). Any report ends the
# process that made it with a failure. The same build counts with gcov
# what the tests run of the product code (scripts/coverage.sh --report);
# the two UBSan checks that add branches of their own to gcov's count
# (nonnull-attribute, bool) are left out of it: clang-tidy's analyser
# (stage 60) checks the null arguments, the fuzzers (stage 40) run both on
# the shared code, valgrind (stage 50) sees an uninitialised bool.
# The Windows real-tool rows of ctest-windows run this build's
# simulated_board, its serial link under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/stages/release-build.bash
build=build/coverage-linux

# The real-tool rows drive the native build's flashing tool.
[ -x build/native/bossac-1.9.1/bossac ] || {
  cmake --preset native > /dev/null
  cmake --build --preset native --target bossac
}
prebuilt coverage-linux || {
  cmake --preset coverage-linux -DUPM_WARNINGS_AS_ERRORS=ON
  cmake --build --preset coverage-linux
}

# A build that silently lost its flags would pass everything and prove nothing.
# grep reads all of nm's output: with -q it would quit early and, under
# pipefail, nm's broken pipe would fail the check.
for symbol in __asan_init __ubsan_handle_ __gcov_; do
  if ! nm -C "$build/UpdateProgramManually" | grep "$symbol" > /dev/null; then
    echo "$build/UpdateProgramManually lacks $symbol: not instrumented" >&2
    exit 1
  fi
done

# gcov's counts start from nothing: a line no test runs any more must show.
find "$build" -name '*.gcda' -delete
# The preset's test environment carries ASAN_OPTIONS/UBSAN_OPTIONS.
ctest --preset coverage-linux
