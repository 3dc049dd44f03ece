#!/bin/busybox sh
# The initramfs's init (scripts/run-in-vm.sh): loads the modules it was
# given, mounts the host's root read-only over 9p and switches to it, where
# the second stage runs as PID 1. A switch, not a chroot: udevadm and
# others refuse to act inside a chroot.
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /newroot
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

halt_with() {
  echo "first stage: $*" > /dev/ttyS0
  echo b > /proc/sysrq-trigger  # qemu runs with -no-reboot: it ends
}

while read -r module; do
  parameters=""
  # Two controllers: two boards can be plugged at once.
  [ "$module" = dummy_hcd.ko ] && parameters="num=2"
  insmod "/modules/$module" $parameters || halt_with "cannot load $module"
done < /modules/order

share() { mount -t 9p -o "trans=virtio,version=9p2000.L,msize=262144$3" "$1" "$2"; }
# The host's root changes under nobody's feet while the guest runs: the
# guest may cache it.
share root /newroot ,ro,cache=loose || halt_with "cannot mount the host's root"
mount -t tmpfs -o mode=0755 tmpfs /newroot/run || halt_with "cannot mount /run"
mkdir -p /newroot/run/upm-vm
share control /newroot/run/upm-vm "" || halt_with "cannot mount the control folder"
for fs in dev proc sys; do mount --move "/$fs" "/newroot/$fs"; done
exec switch_root /newroot /bin/bash /run/upm-vm/second-stage.sh
