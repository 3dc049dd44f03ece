#!/usr/bin/env bash
# Installs what the tests need, builds the Linux program and the Windows .exe
# with their tests, and runs every test: the builds, their ctest runs and
# the stages in scripts/stages/, two at a time where what they need allows
# (scripts/run-steps.py). Ends with a table of each step's time; exits
# non-zero on any failure.
#
#   scripts/test-all.sh [STEP...]   # only these steps and what they need
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s.%N)
# Before the steps, with this terminal: apt may ask for a password.
scripts/install-test-deps.sh
exec python3 scripts/run-steps.py --started "$started" "$@"
