#!/usr/bin/env bash
# Installs what the tests need, builds the Linux program and the Windows .exe
# with their tests, and runs every test. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-test-deps.sh

cmake --preset native -DUPM_WARNINGS_AS_ERRORS=ON
cmake --build --preset native
cmake --build --preset native --target bossac
ctest --preset native

cmake --preset windows -DUPM_WARNINGS_AS_ERRORS=ON
cmake --build --preset windows
cmake --build --preset windows --target bossac
ctest --preset windows

# Further checks, each a script of its own, in name order.
for stage in scripts/stages/*.sh; do
  [ -e "$stage" ] || continue
  echo "=== ${stage}"
  bash "$stage"
done
echo "All tests passed."
