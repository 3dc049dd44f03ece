#!/bin/bash
# PID 1 of the guest (scripts/run-in-vm.sh), on the host's root: mounts
# what a system has, shares the caller's folder at its own path, runs the
# command with its output on the virtio ports that the host passes on, and
# writes its status for the host to exit with.
set -u
control=/run/upm-vm

power_off() {
  echo b > /proc/sysrq-trigger  # qemu runs with -no-reboot: it ends
  sleep 60
}

mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t configfs configfs /sys/kernel/config
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=0620,ptmxmode=0666 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm

# workdir, command and environment
source "$control/command"
# Under /tmp the folder's path exists only once the tmpfs has it.
mkdir -p "$workdir" 2>/dev/null
if ! mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 work "$workdir"; then
  echo 125 > "$control/status"
  power_off
fi

# The virtio ports by the names the host gave them.
for port in /sys/class/virtio-ports/*; do
  case "$(cat "$port/name")" in
    upm.stdout) exec 3> "/dev/${port##*/}" ;;
    upm.stderr) exec 4> "/dev/${port##*/}" ;;
  esac
done

cd "$workdir"
if env -i "${environment[@]}" bash -c 'command -v "$1"' _ "${command[0]}" > /dev/null; then
  env -i "${environment[@]}" "${command[@]}" < /dev/null >&3 2>&4
  status=$?
else
  echo "run-in-vm.sh: ${command[0]}: not found in the guest" >&4
  status=127
fi
exec 3>&- 4>&-
echo "$status" > "$control/status"
power_off
