#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
#
#   scripts/install-test-deps.sh        everything the tests need
#   scripts/install-test-deps.sh demo   only what scripts/demo.sh needs
set -euo pipefail
# The program, the simulated board and the real flashing tool.
demo_packages=(cmake g++ make pkg-config umockdev libumockdev-dev libglib2.0-dev bossa-cli)
packages=(
  "${demo_packages[@]}" python3 googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix wine wine64
  clang clang-tidy cppcheck libclang-rt-14-dev valgrind strace
  libbenchmark-dev python3-serial libserialport-dev zip unzip git
)
[ "${1:-}" != demo ] || packages=("${demo_packages[@]}")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
