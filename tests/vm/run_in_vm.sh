#!/usr/bin/env bash
# Runs a command inside a small virtual machine whose kernel has a real CAN
# stack, with the virtual CAN interface vcan0 up, and returns its exit status.
#
#   tests/vm/run_in_vm.sh [--] COMMAND [ARG]...
#
# For the SocketCAN tests and benchmark:
#   QT_SETUP_VM=1 ./setup.sh -DQT_BUILD_VM_TESTS=ON
#   tests/vm/run_in_vm.sh build/tests/vm/socketcan_vm_test
#   tests/vm/run_in_vm.sh build/bench/socketcan_bench
#
# The guest boots Debian's linux-image-amd64 kernel under qemu (software
# emulation: no KVM needed) with a busybox initramfs, mounts this machine's
# root file system read-only over 9p and runs the command chrooted there, in
# the current directory. /run and /dev/shm are fresh tmpfs in the guest; /tmp
# shows the host's files but takes writes into a tmpfs that the run discards.
# The command's output appears on standard output (the guest's serial console).
#
# Environment: VM_TIMEOUT (seconds, default 600), VM_CPUS (default 2),
# VM_MEM (MiB, default 1024), VM_KERNEL (a kernel release under /lib/modules),
# VM_VERBOSE=1 (kernel messages on standard output too; otherwise the tail
# of the kernel log is shown only when the VM fails).
# Exit status: the command's; 124 when the time-out ended the VM; 125 when the
# VM could not run or the command's status did not come back.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin

fail() { echo "run_in_vm: $*" >&2; exit 125; }
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || fail "usage: $0 [--] COMMAND [ARG]..."
timeout_s=${VM_TIMEOUT:-600}

# The newest installed kernel that ships the virtual CAN driver.
kernel=${VM_KERNEL:-$(for d in /lib/modules/*; do
  [ -r "/boot/vmlinuz-${d##*/}" ] && [ -n "$(find "$d" -name 'vcan.ko*' -print -quit)" ] && echo "${d##*/}"
done | sort -V | tail -n1)}
[ -n "$kernel" ] && [ -r "/boot/vmlinuz-$kernel" ] ||
  fail "no kernel with CAN modules found (run: QT_SETUP_VM=1 ./setup.sh)"
# busybox-static installs itself as /bin/busybox.
busybox=/bin/busybox
[ -x $busybox ] && command -v qemu-system-x86_64 >/dev/null || fail "qemu or busybox missing (run: QT_SETUP_VM=1 ./setup.sh)"

work=$(mktemp -d /tmp/qt-vm.XXXXXX)
trap 'rm -rf "$work"' EXIT
# $out is shared with the guest: the command to run and its exit status.
# The initramfs holds busybox, the modules in load order and the init script.
out=$work/out root=$work/initramfs
mkdir -p "$out" "$root"/{bin,dev,proc,sys,host,out,lib/modules}
cp $busybox "$root/bin/busybox"

# The modules with their dependencies, in load order, uncompressed.
for m in virtio_pci 9pnet_virtio 9p overlay can can_raw can_dev vcan; do
  modprobe -S "$kernel" --show-depends "$m" || fail "module $m missing for $kernel"
done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' | while read -r file; do
  name=$(basename "${file%.xz}" .ko)
  case $file in *.xz) xz -dc "$file" ;; *) cat "$file" ;; esac >"$root/lib/modules/$name.ko"
  echo "$name" >>"$root/modules"
done

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The kernel logs to the second serial port; the command has the first.
exec </dev/ttyS0 >/dev/ttyS0 2>&1
stty -onlcr
halt() { sync; poweroff -f; sleep 10; }
for m in $(cat /modules); do
  insmod /lib/modules/$m.ko || { echo "run_in_vm: insmod $m failed"; halt; }
done
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 out /out || halt
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,ro,cache=loose hostroot /host ||
  { echo "run_in_vm: cannot mount the host's root"; halt; }
ip link add dev vcan0 type vcan && ip link set vcan0 up ||
  { echo "run_in_vm: cannot create vcan0"; echo 125 >/out/.status; halt; }
ip link set lo up
h=/host
mount -t proc proc $h/proc
mount -t sysfs sysfs $h/sys
mount -t devtmpfs devtmpfs $h/dev
mkdir -p $h/dev/pts $h/dev/shm
mount -t devpts devpts $h/dev/pts
mount -t tmpfs tmpfs $h/dev/shm
# /tmp keeps the host's files (a checkout may live there) under a
# writable layer that the run discards.
mkdir -p /tmpfs
mount -t tmpfs tmpfs /tmpfs
mkdir -p /tmpfs/upper /tmpfs/work
mount -t overlay overlay -o lowerdir=$h/tmp,upperdir=/tmpfs/upper,workdir=/tmpfs/work $h/tmp ||
  mount -t tmpfs tmpfs $h/tmp
mount -t tmpfs tmpfs $h/run
mkdir -p $h/tmp/vm-out
mount -o bind /out $h/tmp/vm-out
chroot $h /bin/sh /tmp/vm-out/.command
echo $? >/out/.status
halt
EOF
chmod +x "$root/init"

# --- the command, run in the chroot from the current directory
printf 'export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp TERM=dumb LANG=C.UTF-8
cd %q || exit 125\nexec%s\n' "$PWD" "$(printf ' %q' "$@")" >"$out/.command"

(cd "$root" && find . | LC_ALL=C sort | $busybox cpio -o -H newc 2>/dev/null) >"$work/initramfs.cpio"

console=ttyS1
[ "${VM_VERBOSE:-0}" = 1 ] && console=ttyS0

# In the background, so that an interrupt or a TERM stops the VM at once.
timeout -k 10 "$timeout_s" qemu-system-x86_64 \
  -accel tcg,thread=multi -cpu max -smp "${VM_CPUS:-2}" -m "${VM_MEM:-1024}" \
  -nodefaults -no-user-config -display none -no-reboot \
  -serial stdio -serial file:"$work/kernel.log" -monitor none \
  -kernel "/boot/vmlinuz-$kernel" -initrd "$work/initramfs.cpio" -append "panic=-1 rdinit=/init console=$console" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs local,path="$out",mount_tag=out,security_model=none,multidevs=remap \
  </dev/null &
vm=$!
trap 'kill "$vm" 2>/dev/null; wait "$vm"; exit 130' INT TERM
status=0
wait "$vm" || status=$?

case $status in 124 | 137) echo "run_in_vm: time-out after ${timeout_s} s" >&2 && exit 124 ;; esac
if [ "$status" -ne 0 ] || [ ! -s "$out/.status" ]; then
  tail -n 30 "$work/kernel.log" >&2 2>/dev/null || true
  [ "$status" -eq 0 ] || fail "qemu failed with status $status"
  fail "the command's status did not come back"
fi
exit "$(cat "$out/.status")"
