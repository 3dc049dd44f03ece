#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
#
#   scripts/install-test-deps.sh                everything the tests need
#   scripts/install-test-deps.sh demo           only what scripts/demo.sh needs
#   scripts/install-test-deps.sh windows        what scripts/demo.sh --windows needs
#   scripts/install-test-deps.sh linux-release  what this machine's release kit
#                                    needs (cmake --workflow --preset linux-release)
#
# Quick, and asking for no root, when nothing is missing.
set -euo pipefail
# The program, the simulated board and the real flashing tool (built from
# Debian's source of bossa, which apt-get source fetches, with our patches).
demo_packages=(cmake g++ make ninja-build pkg-config patch umockdev libumockdev-dev libglib2.0-dev)
# The release kit: the static program and tool, and the archive, which
# Python writes, dated from the last commit (git).
release_packages=(cmake g++ ninja-build patch python3 git)
# The Windows program, Wine, and the compiler for the real bossac.exe.
windows_packages=(g++-mingw-w64-x86-64-posix wine wine64)
packages=(
  "${demo_packages[@]}" "${windows_packages[@]}" python3 googletest libgtest-dev libgmock-dev
  clang clang-tidy cppcheck libclang-rt-14-dev valgrind strace
  libbenchmark-dev python3-serial libserialport-dev zip unzip git
  # Signing releases, with a key in a software token for the tests, and
  # with OpenPGP.
  osslsigncode openssl softhsm2 libengine-pkcs11-openssl gnupg gpgv
  # scripts/run-in-vm.sh: Debian's kernel under emulation, its first stage
  # on busybox, the modules' order from kmod.
  qemu-system-x86 busybox-static kmod
  # The udev rules of the Linux archive, tried in the VM.
  udev modemmanager dbus
  # The arm64 and armhf archives: Debian's cross compilers (with their C
  # libraries), and the emulator that runs their programs here.
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user-static
  # What the tests run of the product code: reports from gcov's counts.
  gcovr
)
# Node.js for the bill of materials' validator, from Debian unless the
# machine has its own.
command -v npm >/dev/null || packages+=(nodejs npm)
case "${1:-}" in
  "") ;;
  demo) packages=("${demo_packages[@]}") ;;
  windows) packages=("${demo_packages[@]}" "${windows_packages[@]}") ;;
  linux-release) packages=("${release_packages[@]}") ;;
  *) echo "usage: scripts/install-test-deps.sh [demo|windows|linux-release]" >&2; exit 2 ;;
esac
sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"

# bossac is built from Debian's source package of bossa
# (scripts/bossa-source.sh): apt needs to know where sources are. The same
# archives as the binary packages serve them, so their entries are taken
# over as deb-src.
deb_src_list=/etc/apt/sources.list.d/upm-deb-src.sources
update_needed=false
if [ ! -e "$deb_src_list" ] &&
   ! grep -qsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
       /etc/apt/sources.list.d/*.sources; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$deb_src_list" >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      | $sudo tee "${deb_src_list%.sources}.list" >/dev/null
  fi
  update_needed=true
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || $update_needed; then
  $sudo apt-get update -q
fi
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

# The CycloneDX project's own validator of the releases' bill of materials
# (scripts/stages/27-release-kit.sh), with the optional packages its strict
# JSON validator needs, in the git-ignored build folder.
validator="$(cd "$(dirname "$0")/.." && pwd)/build/cyclonedx"
if [ -z "${1:-}" ] && [ ! -d "$validator/node_modules/ajv-formats-draft2019" ]; then
  mkdir -p "$validator"
  (cd "$validator" && npm install --no-audit --no-fund --loglevel=error \
     @cyclonedx/cyclonedx-library@10.3.0 ajv@8 ajv-formats@3 ajv-formats-draft2019@1)
fi
