#!/usr/bin/env bash
# scripts/run-in-vm.sh fails closed, checked without booting anything. A
# qemu that cannot start (a stand-in first on PATH that says what a machine
# without /dev/kvm says to UPM_VM_ACCEL=kvm, and exits 1) ends the run with
# 125 and qemu's own words; one that hangs, never opening its outputs, ends
# it when UPM_VM_TIMEOUT runs out, with 124; a kernel package without
# cdc_acm (a stand-in made from Debian's kernel minus cdc-acm.ko) is refused
# with the module's name and leaves build/vm/ as it was. After each, no
# process of the run is left (found by a mark in their environment) and its
# temporary folder is empty.
#
#   scripts/stages/44-vm-harness.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The stand-ins for qemu-system-x86_64, one folder each.
mkdir "$work/exits" "$work/hangs"
printf '#!/bin/sh\necho "qemu-system-x86_64: failed to initialize kvm: No such file or directory" >&2\nexit 1\n' \
  > "$work/exits/qemu-system-x86_64"
# A child of its own, not exec: what qemu starts must end with it.
printf '#!/bin/sh\nsleep 600\n' > "$work/hangs/qemu-system-x86_64"
chmod +x "$work/exits/qemu-system-x86_64" "$work/hangs/qemu-system-x86_64"

vm_row() {  # NAME STATUS WORDS VAR=VALUE...: run-in-vm.sh true so must end with STATUS and WORDS
  local name=$1 expected=$2 words=$3 mark="stage-44-$$-$RANDOM" status=0 started=$SECONDS left; shift 3
  mkdir "$work/tmp"
  # Into a file, not $(...): a process left holding the output must fail
  # the row, not hang it.
  env "$@" TMPDIR="$work/tmp" UPM_VM_MARK="$mark" timeout 120 scripts/run-in-vm.sh true \
    > "$work/said" 2>&1 || status=$?
  local took=$((SECONDS - started))
  [ "$status" -eq "$expected" ] || { cat "$work/said"; fail "$name: status $status, not $expected"; }
  grep -qF -- "$words" "$work/said" || { cat "$work/said"; fail "$name: run-in-vm.sh does not say: $words"; }
  left=$(grep -lzx "UPM_VM_MARK=$mark" /proc/[0-9]*/environ 2>/dev/null || true)
  [ -z "$left" ] || { ps -o pid,args -p "$(echo "$left" | cut -d/ -f3 | paste -sd,)" || true
                      fail "$name: processes of the run are left"; }
  [ -z "$(ls -A "$work/tmp")" ] || fail "$name: left in its temporary folder: $(ls -A "$work/tmp")"
  rmdir "$work/tmp"
  echo "ok   $name: status $status after $took s, nothing left: $(grep -F -- "$words" "$work/said" | head -n 1)"
}

vm_row "a qemu that cannot start" 125 "failed to initialize kvm" \
  PATH="$work/exits:$PATH" UPM_VM_ACCEL=kvm
# That run found or fetched the kernel and unpacked it: the later rows take it as it is.
deb=${UPM_KERNEL_DEB:-$(ls -1 build/downloads/linux-image-[0-9]*.deb 2>/dev/null | sort -V | tail -n 1)}
[ -n "$deb" ] || fail "no kernel package in build/downloads/"
vm_row "a qemu that hangs" 124 "the VM was killed after 10 s" \
  PATH="$work/hangs:$PATH" UPM_VM_TIMEOUT=10 UPM_KERNEL_DEB="$deb"

# The stand-in kernel package: the modules the guest loads and what they
# need, from the tree that run-in-vm.sh unpacked, all but cdc-acm.ko; the
# kernel itself an empty file, as nothing boots it.
tree=$(ls -d build/vm/"$(basename "$deb" .deb)".*/ 2>/dev/null | head -n 1)
[ -n "$tree" ] || fail "run-in-vm.sh left no unpacked kernel for $deb in build/vm/"
tree=$(realpath "$tree")  # as modprobe names its files
version=$(ls "$tree/lib/modules")
stub="$work/stub"
mkdir -p "$stub/DEBIAN" "$stub/boot" "$stub/lib/modules/$version"
: > "$stub/boot/vmlinuz-$version"
cp "$tree/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} "$stub/lib/modules/$version/"
while read -r verb path _; do
  rel=${path#"$tree/"}
  [ "$verb" = insmod ] && [ "${rel##*/}" != cdc-acm.ko ] || continue
  mkdir -p "$stub/${rel%/*}"
  cp "$path" "$stub/$rel"
done < <(grep -v '^#' scripts/vm/modules | while read -r module; do
           modprobe -d "$tree" -S "$version" --show-depends "$module"; done)
printf '%s\n' "Package: linux-image-$version-without-cdc-acm" "Version: 1" "Architecture: amd64" \
  "Maintainer: Stage 44 <nobody@example.org>" "Description: Debian's kernel without cdc-acm.ko" \
  > "$stub/DEBIAN/control"
dpkg-deb --root-owner-group -Zgzip -b "$stub" "$work/without-cdc-acm.deb" > /dev/null
before=$(ls -A build/vm)
vm_row "a kernel package without cdc_acm" 125 "has no module cdc_acm" UPM_KERNEL_DEB="$work/without-cdc-acm.deb"
[ "$(ls -A build/vm)" = "$before" ] || fail "the kernel without cdc_acm left in build/vm/: $(ls -A build/vm)"
echo "ok   the kernel without cdc_acm left build/vm/ as it was"
