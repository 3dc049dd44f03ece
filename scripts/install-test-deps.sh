#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
set -euo pipefail
packages=(
  cmake g++ make python3 googletest libgtest-dev libgmock-dev
  g++-mingw-w64-x86-64-posix wine wine64
  umockdev libumockdev-dev libglib2.0-dev pkg-config bossa-cli
  clang clang-tidy cppcheck libclang-rt-14-dev valgrind strace
  libbenchmark-dev python3-serial libserialport-dev zip unzip git
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
