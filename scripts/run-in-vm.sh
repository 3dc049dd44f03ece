#!/usr/bin/env bash
# Runs COMMAND inside a virtual machine booted with Debian's own kernel, and
# exits with its status: the real USB stack (dummy_hcd's host and device
# controllers, configfs gadgets, cdc_acm) for tests that umockdev's imitation
# of sysfs cannot stand in for.
#
#   scripts/run-in-vm.sh COMMAND [ARG...]
#
# The guest's root is this machine's file system, read-only over 9p; the
# current folder is shared read-write at the same path, so results come
# back; /tmp and /run are fresh tmpfs. COMMAND runs as root in the current
# folder with the caller's PATH, HOME, TERM, LANG, LC_*, CI and UPM_*
# variables and no standard input; its standard output and error are this
# script's, apart from the kernel's messages. Loaded before it runs: dummy_hcd
# with two controllers (dummy_udc.0 and .1), libcomposite, usb_f_acm,
# cdc_acm, binfmt_misc; configfs at /sys/kernel/config, binfmt_misc at
# /proc/sys/fs/binfmt_misc (where qemu-user-static's emulators can be
# registered for another architecture's programs).
#
#   UPM_KERNEL_DEB   a linux-image-*.deb to boot instead of the one
#                    apt-get download fetches into build/downloads/
#   UPM_VM_ACCEL     tcg (default) or kvm: under nested virtualisation KVM
#                    can be far slower than emulation
#   UPM_VM_TIMEOUT   seconds before the VM is killed (default 600; status 124)
#
# Exit status: COMMAND's; 124 when the time ran out; 127 when COMMAND is not
# found in the guest; 125 when the VM could not be had or did not run it.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
me="run-in-vm.sh"
fail() { echo "$me: $*" >&2; exit 125; }

[ $# -ge 1 ] || { echo "usage: scripts/run-in-vm.sh COMMAND [ARG...]" >&2; exit 2; }
accel="${UPM_VM_ACCEL:-tcg}"
timeout_s="${UPM_VM_TIMEOUT:-600}"
case "$accel" in tcg|kvm) ;; *) fail "UPM_VM_ACCEL is '$accel'; it takes tcg or kvm" ;; esac
[[ "$timeout_s" =~ ^[1-9][0-9]*$ ]] || fail "UPM_VM_TIMEOUT is '$timeout_s'; it takes whole seconds"
for tool in qemu-system-x86_64:qemu-system-x86 /bin/busybox:busybox-static modprobe:kmod \
            dpkg-deb:dpkg setpriv:util-linux; do
  command -v "${tool%%:*}" >/dev/null ||
    fail "${tool%%:*} is missing: scripts/install-test-deps.sh installs it (package ${tool#*:})"
done

# --- The kernel ----------------------------------------------------------------

downloads="$top/build/downloads"

# The image package that linux-image-amd64 stands for today, or the newest
# one already downloaded when apt knows of none (no network, no lists).
kernel_deb() {
  if [ -n "${UPM_KERNEL_DEB:-}" ]; then
    [ -r "$UPM_KERNEL_DEB" ] || fail "UPM_KERNEL_DEB names no readable file: $UPM_KERNEL_DEB"
    echo "$UPM_KERNEL_DEB"
    return
  fi
  local name
  name="$(apt-cache depends linux-image-amd64 2>/dev/null |
          sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)"
  mkdir -p "$downloads"
  if [ -n "$name" ] && ! compgen -G "$downloads/${name}_*.deb" >/dev/null; then
    (cd "$downloads" && apt-get download -q -o APT::Sandbox::User="$(id -un)" "$name" >/dev/null 2>&1) || true
  fi
  local newest
  newest="$(ls -1 "$downloads"/linux-image-[0-9]*.deb 2>/dev/null | sort -V | tail -n 1)"
  [ -n "$newest" ] || fail "no kernel package to be had: apt-get download linux-image-amd64's kernel failed;" \
    "set UPM_KERNEL_DEB=/path/to/linux-image-<version>-amd64_<...>.deb (Debian's package)"
  echo "$newest"
}

# The package unpacked once into build/vm/, with the modules' dependencies.
unpack_kernel() {
  local deb=$1 tree
  tree="$top/build/vm/$(basename "$deb" .deb)"
  if [ ! -d "$tree" ]; then
    # Unpacked aside and moved in whole: a run beside this one never sees
    # half a tree.
    local staging version
    mkdir -p "$top/build/vm"
    staging="$(mktemp -d "$top/build/vm/unpack.XXXXXX")"
    dpkg-deb -x "$deb" "$staging" || fail "cannot unpack $deb"
    version="$(ls "$staging/lib/modules" 2>/dev/null | head -n 1)"
    [ -n "$version" ] && [ -e "$staging/boot/vmlinuz-$version" ] || fail "$deb holds no kernel and modules"
    depmod -b "$staging" "$version" || fail "depmod failed for $deb"
    mv -T "$staging" "$tree" 2>/dev/null || rm -rf "$staging"
  fi
  echo "$tree"
}

# Modules in load order, each with its parameters: what the guest's first
# stage loads from the initramfs before it can reach the host's files.
module_list() {
  local tree=$1 version=$2 module
  for module in virtio_pci 9pnet_virtio 9p virtio_console dummy_hcd libcomposite usb_f_acm cdc_acm \
                binfmt_misc; do
    modprobe -d "$tree" -S "$version" --show-depends "$module" ||
      fail "the kernel $version has no module $module"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }'
}

# busybox, the first stage's init, and the modules, as a newc cpio archive.
build_initramfs() {
  local tree=$1 version=$2 image=$3 staging
  staging="$(mktemp -d "$top/build/vm/initramfs.XXXXXX")"
  mkdir -p "$staging/bin" "$staging/modules"
  cp /bin/busybox "$staging/bin/busybox"
  install -m 0755 "$top/scripts/vm/first-stage.sh" "$staging/init"
  local path order=""
  for path in $(module_list "$tree" "$version"); do
    cp "$path" "$staging/modules/"
    order+="$(basename "$path")"$'\n'
  done
  printf '%s' "$order" > "$staging/modules/order"
  (cd "$staging" && find . | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$image.new"
  mv "$image.new" "$image"
  rm -rf "$staging"
}

deb="$(kernel_deb)"
tree="$(unpack_kernel "$deb")"
version="$(ls "$tree/lib/modules" | head -n 1)"
package_version="$(dpkg-deb -f "$deb" Version)"
echo "$me: Debian kernel $version ($package_version)" >&2
initramfs="$tree/initramfs.gz"
if [ ! -e "$initramfs" ] || [ "$top/scripts/vm/first-stage.sh" -nt "$initramfs" ] ||
   [ "$top/scripts/run-in-vm.sh" -nt "$initramfs" ]; then  # the list of modules is here
  build_initramfs "$tree" "$version" "$initramfs"
fi

# --- The run --------------------------------------------------------------------

# What the guest needs to know, in a folder shared with it: the command,
# the environment, the folder to run in; the guest writes its status there.
control="$(mktemp -d "${TMPDIR:-/tmp}/upm-vm.XXXXXX")"
qemu_pid=""
clean_up() {
  if [ -n "$qemu_pid" ]; then kill -KILL "$qemu_pid" 2>/dev/null || true; wait "$qemu_pid" 2>/dev/null || true; fi
  rm -rf "$control"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

{
  printf 'workdir=%q\n' "$PWD"
  printf 'command=('; printf '%q ' "$@"; printf ')\n'
  printf 'environment=('
  while IFS= read -r name; do
    printf '%q ' "$name=${!name}"
  done < <(compgen -e | grep -E '^(PATH|HOME|TERM|LANG|LC_[A-Z]+|CI|UPM_[A-Za-z0-9_]+)$' || true)
  printf ')\n'
} > "$control/command"
cp "$top/scripts/vm/second-stage.sh" "$control/second-stage.sh"

case "$accel" in
  kvm) accel_options=(-accel kvm -cpu host) ;;
  *) accel_options=(-accel tcg,thread=multi -cpu max) ;;
esac
share() {  # tag, path, extra options
  # qemu's option syntax doubles a comma inside a value.
  echo "-fsdev"
  echo "local,id=$1,path=${2//,/,,},security_model=none,multidevs=remap$3"
  echo "-device"
  echo "virtio-9p-pci,fsdev=$1,mount_tag=$1"
}
mapfile -t shares < <(share root / ,readonly=on; share work "$PWD" ""; share control "$control" "")

# The kernel's console goes to a log that is shown only when the guest did
# not get as far as COMMAND; COMMAND's output has virtio ports of its own,
# passed on through pipes by cat: qemu opening this script's own output by
# name would write from an offset of its own into a file that output is.
# setpriv: should this script be killed outright, qemu goes with it.
mkfifo "$control/stdout" "$control/stderr"
cat < "$control/stdout" &
cat < "$control/stderr" >&2 &
setpriv --pdeathsig KILL -- qemu-system-x86_64 \
  "${accel_options[@]}" -smp 2 -m 1536 -nodefaults -no-reboot -display none \
  -kernel "$tree/boot/vmlinuz-$version" -initrd "$initramfs" \
  -append "console=ttyS0 loglevel=4 panic=-1 rdinit=/init" \
  -serial "file:$control/console.log" \
  "${shares[@]}" \
  -device virtio-serial-pci \
  -chardev "file,id=out,path=$control/stdout" -device virtserialport,chardev=out,name=upm.stdout,nr=1 \
  -chardev "file,id=err,path=$control/stderr" -device virtserialport,chardev=err,name=upm.stderr,nr=2 \
  < /dev/null &
qemu_pid=$!

# The time limit, counted here: a hung guest ends the same way as a hung host.
deadline=$((SECONDS + timeout_s))
while kill -0 "$qemu_pid" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
if kill -0 "$qemu_pid" 2>/dev/null; then
  echo "$me: the VM was killed after ${timeout_s} s (UPM_VM_TIMEOUT)" >&2
  exit 124
fi
wait "$qemu_pid" || true
qemu_pid=""
wait  # the last of COMMAND's output

if [ ! -s "$control/status" ]; then
  echo "$me: the guest did not run the command; the end of its console:" >&2
  tail -n 30 "$control/console.log" >&2 2>/dev/null || true
  exit 125
fi
exit "$(cat "$control/status")"
