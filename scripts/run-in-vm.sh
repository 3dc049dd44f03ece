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
# folder with the caller's PATH (the system's folders first), HOME, TERM,
# LANG, LC_*, CI and UPM_* variables and no standard input; its standard
# output and error are this script's, apart from the kernel's messages.
# Loaded before it runs: dummy_hcd with two controllers (dummy_udc.0 and .1), libcomposite, usb_f_acm,
# cdc_acm, binfmt_misc; configfs at /sys/kernel/config, binfmt_misc at
# /proc/sys/fs/binfmt_misc (where qemu-user-static's emulators can be
# registered for another architecture's programs).
#
#   UPM_KERNEL_DEB   a linux-image-*.deb to boot instead of the one
#                    apt-get download fetches into build/downloads/
#   UPM_VM_ACCEL     tcg (default) or kvm: under nested virtualisation KVM
#                    can be far slower than emulation
#   UPM_VM_TIMEOUT   seconds the whole run may take, the kernel's preparation
#                    and the boot included (default 600; status 124)
#
# Exit status: COMMAND's; 124 when the time ran out; 127 when COMMAND is not
# found in the guest; 125 when the VM could not be had or did not run it
# (qemu's own words are on standard error). However it ends, even killed
# with a signal it can catch, it leaves no qemu, no relay and no temporary
# folder behind, and build/vm/ holds only whole, checked kernels.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
me="run-in-vm.sh"

# Everything this run starts or makes on its way, ended and removed however
# it ends: a VM that could not be had must not leave a relay waiting for it.
scratch=()       # temporary files and folders
relays=()        # the cat processes passing COMMAND's output on
qemu_pid=""      # also its process group: whatever qemu started goes with it
clean_up() {
  if [ -n "$qemu_pid" ]; then
    kill -KILL -- "-$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  if [ ${#relays[@]} -gt 0 ]; then
    kill "${relays[@]}" 2>/dev/null || true
    wait "${relays[@]}" 2>/dev/null || true
  fi
  [ ${#scratch[@]} -eq 0 ] || rm -rf "${scratch[@]}"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# Called in this shell only, never in $(...): a subshell's exit would not
# stop the run.
fail() { echo "$me: $*" >&2; exit 125; }

[ $# -ge 1 ] || { echo "usage: scripts/run-in-vm.sh COMMAND [ARG...]" >&2; exit 2; }
accel="${UPM_VM_ACCEL:-tcg}"
timeout_s="${UPM_VM_TIMEOUT:-600}"
case "$accel" in tcg|kvm) ;; *) fail "UPM_VM_ACCEL is '$accel'; it takes tcg or kvm" ;; esac
[[ "$timeout_s" =~ ^[1-9][0-9]*$ ]] || fail "UPM_VM_TIMEOUT is '$timeout_s'; it takes whole seconds"
deadline=$((SECONDS + timeout_s))
seconds_left() { local left=$((deadline - SECONDS)); echo $((left > 0 ? left : 1)); }
for tool in qemu-system-x86_64:qemu-system-x86 /bin/busybox:busybox-static modprobe:kmod \
            depmod:kmod dpkg-deb:dpkg setpriv:util-linux setsid:util-linux; do
  command -v "${tool%%:*}" >/dev/null ||
    fail "${tool%%:*} is missing: scripts/install-test-deps.sh installs it (package ${tool#*:})"
done
mapfile -t wanted < <(grep -v '^#' "$top/scripts/vm/modules")

# --- The kernel ----------------------------------------------------------------

downloads="$top/build/downloads"

# Sets deb: the image package that linux-image-amd64 stands for today, or
# the newest one already downloaded when apt knows of none (no network, no
# lists). Fetched into a folder of its own: a download cut short is never
# taken for a package.
find_kernel_deb() {
  if [ -n "${UPM_KERNEL_DEB:-}" ]; then
    [ -r "$UPM_KERNEL_DEB" ] || fail "UPM_KERNEL_DEB names no readable file: $UPM_KERNEL_DEB"
    deb="$UPM_KERNEL_DEB"
    return
  fi
  local name fetch
  name="$(apt-cache depends linux-image-amd64 2>/dev/null |
          sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)"
  mkdir -p "$downloads"
  if [ -n "$name" ] && ! compgen -G "$downloads/${name}_*.deb" >/dev/null; then
    fetch="$(mktemp -d "$downloads/fetch.XXXXXX")"
    scratch+=("$fetch")
    (cd "$fetch" && timeout "$(seconds_left)" apt-get download -q -o APT::Sandbox::User="$(id -un)" "$name" \
       >/dev/null 2>&1 && mv "$fetch"/*.deb "$downloads/") || true
  fi
  deb="$(ls -1 "$downloads"/linux-image-[0-9]*.deb 2>/dev/null | sort -V | tail -n 1)"
  [ -n "$deb" ] || fail "no kernel package to be had: apt-get download linux-image-amd64's kernel failed;" \
    "set UPM_KERNEL_DEB=/path/to/linux-image-<version>-amd64_<...>.deb (Debian's package)"
}

# Sets modules: the .ko files of TREE to load, dependencies first, or stops
# the run naming the first module the kernel lacks.
find_modules() {
  local tree=$1 version=$2 name said verb path
  local -A seen=()
  modules=()
  for name in "${wanted[@]}"; do
    said="$(modprobe -d "$tree" -S "$version" --show-depends "$name" 2>/dev/null)" ||
      fail "the kernel $version has no module $name ($deb)"
    while read -r verb path _; do
      [ "$verb" = insmod ] && [ -z "${seen[$path]:-}" ] || continue
      seen[$path]=1
      modules+=("$path")
    done <<< "$said"
  done
}

# Sets tree and version: the package unpacked once into build/vm/, named by
# its contents, with the modules' dependencies. Unpacked aside, checked and
# moved in whole: a run beside this one never sees half a tree, and a
# package that fails leaves nothing.
unpack_kernel() {
  local sum staging
  sum="$(sha256sum < "$deb")"
  tree="$top/build/vm/$(basename "$deb" .deb).${sum:0:16}"
  if [ ! -d "$tree" ]; then
    mkdir -p "$top/build/vm"
    staging="$(mktemp -d "$top/build/vm/unpack.XXXXXX")"
    scratch+=("$staging")
    dpkg-deb -x "$deb" "$staging" || fail "cannot unpack $deb"
    version="$(ls "$staging/lib/modules" 2>/dev/null | head -n 1)"
    [ -n "$version" ] && [ -e "$staging/boot/vmlinuz-$version" ] || fail "$deb holds no kernel and modules"
    depmod -b "$staging" "$version" || fail "depmod failed for $deb"
    find_modules "$staging" "$version"
    mv -T "$staging" "$tree" 2>/dev/null || true  # or another run was first
  fi
  version="$(ls "$tree/lib/modules" | head -n 1)"
}

# Sets initramfs: busybox, the first stage's init and the modules, as a
# newc cpio archive, named by a hash of all that goes into it (this script,
# the module list, the first stage, busybox, the kernel's tree), so that a
# change to any of them makes a new one. Written under a name of its own,
# then moved into place.
make_initramfs() {
  local key staging made path
  key="$(cat "$top/scripts/run-in-vm.sh" "$top/scripts/vm/modules" "$top/scripts/vm/first-stage.sh" \
           /bin/busybox <(basename "$tree") | sha256sum)"
  initramfs="$tree/initramfs-${key:0:16}.gz"
  [ ! -e "$initramfs" ] || return 0
  find_modules "$tree" "$version"
  staging="$(mktemp -d "$top/build/vm/initramfs.XXXXXX")"
  made="$(mktemp "$initramfs.XXXXXX")"
  scratch+=("$staging" "$made")
  mkdir -p "$staging/bin" "$staging/modules"
  cp /bin/busybox "$staging/bin/busybox"
  install -m 0755 "$top/scripts/vm/first-stage.sh" "$staging/init"
  for path in "${modules[@]}"; do
    cp "$path" "$staging/modules/"
    basename "$path"
  done > "$staging/modules/order"
  (cd "$staging" && find . | LC_ALL=C sort | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1) > "$made"
  chmod 0644 "$made"
  mv -f "$made" "$initramfs"
}

find_kernel_deb
unpack_kernel
package_version="$(dpkg-deb -f "$deb" Version)"
echo "$me: Debian kernel $version ($package_version)" >&2
make_initramfs

# --- The run --------------------------------------------------------------------

# What the guest needs to know, in a folder shared with it: the command,
# the environment, the folder to run in; the guest writes its status there.
control="$(mktemp -d "${TMPDIR:-/tmp}/upm-vm.XXXXXX")"
scratch+=("$control")
{
  printf 'workdir=%q\n' "$PWD"
  printf 'command=('; printf '%q ' "$@"; printf ')\n'
  printf 'environment=('
  while IFS= read -r name; do
    printf '%q ' "$name=${!name}"
  done < <(compgen -e | grep -E '^(HOME|TERM|LANG|LC_[A-Z]+|CI|UPM_[A-Za-z0-9_]+)$' || true)
  # The system's programs before a version manager's: its shims (pyenv's
  # python3) are scripts that start several programs per call, seconds
  # each under emulation.
  printf '%q ' "PATH=/usr/sbin:/usr/bin:/sbin:/bin:$PATH"
  printf ')\n'
} > "$control/command"
cp "$top/scripts/vm/second-stage.sh" "$control/second-stage.sh"

case "$accel" in
  kvm) accel_options=(-accel kvm -cpu host) ;;
  # The plain x86-64 processor: offered AVX and the like (-cpu max), the
  # guest's C library takes them, which emulation costs most; without, the
  # real kernel's rows took a quarter less CPU time (89 to 66 s).
  *) accel_options=(-accel tcg,thread=multi -cpu qemu64) ;;
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
# This script holds each pipe open too, so that a relay's open does not
# wait for a qemu that never opens it, and lets go once qemu has ended.
mkfifo "$control/stdout" "$control/stderr"
exec {hold_out}<>"$control/stdout" {hold_err}<>"$control/stderr"
cat < "$control/stdout" {hold_out}>&- {hold_err}>&- &
relays+=($!)
cat < "$control/stderr" >&2 {hold_out}>&- {hold_err}>&- &
relays+=($!)
[ "$SECONDS" -lt "$deadline" ] || { echo "$me: no time left for the VM (UPM_VM_TIMEOUT ${timeout_s} s)" >&2; exit 124; }
# setsid: a process group of its own, ended whole. setpriv: should this
# script be killed outright, qemu goes with it.
# mitigations=off: the guest runs nothing but the tests, and the kernel's
# workarounds for processor flaws cost it a seventh of its CPU time under
# emulation.
# One processor: with two, beside other work on this machine, the guest's
# second processor spun waiting for the first and the VM took half again
# as much CPU time and a third longer.
setsid setpriv --pdeathsig KILL -- qemu-system-x86_64 \
  "${accel_options[@]}" -smp 1 -m 1536 -nodefaults -no-reboot -display none \
  -kernel "$tree/boot/vmlinuz-$version" -initrd "$initramfs" \
  -append "console=ttyS0 loglevel=4 panic=-1 rdinit=/init mitigations=off" \
  -serial "file:$control/console.log" \
  "${shares[@]}" \
  -device virtio-serial-pci \
  -chardev "file,id=out,path=$control/stdout" -device virtserialport,chardev=out,name=upm.stdout,nr=1 \
  -chardev "file,id=err,path=$control/stderr" -device virtserialport,chardev=err,name=upm.stderr,nr=2 \
  < /dev/null {hold_out}>&- {hold_err}>&- &
qemu_pid=$!

# The time limit, counted here: a hung guest ends the same way as a hung host.
running() { local pid; for pid in "$@"; do kill -0 "$pid" 2>/dev/null && return 0; done; return 1; }
while running "$qemu_pid" && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.2; done
if running "$qemu_pid"; then
  echo "$me: the VM was killed after ${timeout_s} s (UPM_VM_TIMEOUT)" >&2
  exit 124
fi
qemu_status=0
wait "$qemu_pid" || qemu_status=$?
kill -KILL -- "-$qemu_pid" 2>/dev/null || true  # anything it left
qemu_pid=""
# The last of COMMAND's output: the relays end once they have read it all.
exec {hold_out}>&- {hold_err}>&-
while running "${relays[@]}" && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.1; done

if [ ! -s "$control/status" ]; then
  echo "$me: the guest did not run the command (qemu-system-x86_64 ended with status $qemu_status)" >&2
  if [ -s "$control/console.log" ]; then
    echo "$me: the end of its console:" >&2
    tail -n 30 "$control/console.log" >&2
  fi
  exit 125
fi
exit "$(cat "$control/status")"
