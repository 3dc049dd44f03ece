#!/usr/bin/env bash
# Installs what the tests need, then runs the whole suite with CTest (the
# presets "suite", tests/suite/CMakeLists.txt): the builds of the Linux
# program and the Windows .exe, their tests, the release builds and the
# stages in scripts/stages/. Stops at the first failure; exits non-zero on
# any. Arguments go to ctest:
#
#   scripts/test-all.sh                      # everything
#   scripts/test-all.sh -R 22-linux-archive  # one test and what it needs
#   scripts/test-all.sh -L vm                # the VM stages and what they need
set -euo pipefail
cd "$(dirname "$0")/.."
# Before the tests, with this terminal: apt may ask for a password.
scripts/install-test-deps.sh
cmake --preset suite > /dev/null
exec ctest --preset suite "$@"
