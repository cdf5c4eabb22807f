#!/bin/busybox sh
# The guest's first process. Mounts the host's root read-only under a layer in memory, the
# project's folder and the machine's cache for it writable at their own paths, and runs the
# agent on its virtio-serial port; powers the machine off when the agent ends or anything here
# fails, saying what failed on the console, which the host reads.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

fail() {
  echo "mkvtype-vm: failed: $*"
  poweroff -f
}

# The host's settings come on the kernel's command line, as mkvtype.NAME=VALUE.
for word in $(cat /proc/cmdline); do
  case $word in
    mkvtype.project=*) project=${word#*=} ;;
    mkvtype.cache=*) cache=${word#*=} ;;
  esac
done
[ -n "$project" ] || fail "no mkvtype.project= on the kernel command line"
[ -n "$cache" ] || fail "no mkvtype.cache= on the kernel command line"

while read -r module; do
  insmod "$module" || fail "cannot load $module"
done </modules

root_options=trans=virtio,version=9p2000.L,ro,cache=loose,msize=524288
mkdir -p /host /layer /root
mount -t 9p -o $root_options hostroot /host || fail "cannot mount the host's root (9p tag hostroot)"
mount -t tmpfs -o mode=755 tmpfs /layer || fail "cannot mount a tmpfs for the root's writes"
mkdir -p /layer/upper /layer/work
mount -t overlay -o lowerdir=/host,upperdir=/layer/upper,workdir=/layer/work overlay /root ||
  fail "cannot lay a writable layer over the host's root"
for folder in /dev /proc /sys; do mount --move $folder /root$folder; done
mkdir -p /root/dev/shm /root/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /root/dev/shm || fail "cannot mount /dev/shm"
mount -t tmpfs -o mode=1777 tmpfs /root/tmp || fail "cannot mount /tmp"
mount -t devpts devpts /root/dev/pts 2>/dev/null
# Last, so that no file system of the guest's own hides it: the project may be under /tmp.
mkdir -p "/root$project"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 project "/root$project" ||
  fail "cannot mount the project's folder $project (9p tag project)"
mkdir -p "/root$cache"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 cache "/root$cache" ||
  fail "cannot mount the machine's cache $cache (9p tag cache)"
agent=$project/scripts/wine/vm/agent.py
[ -f "/root$agent" ] || fail "no agent at $agent"

ip link set lo up || fail "cannot bring up the loopback interface"

echo "mkvtype-vm: root mounted, starting the agent"
chroot /root /usr/bin/python3 "$agent" || fail "the agent ended with status $?"
sync
poweroff -f
