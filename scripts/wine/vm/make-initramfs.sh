#!/usr/bin/env bash
# Makes the guest's initramfs: busybox, the kernel modules that reach the host's files and the
# agent's port, in the order they load, and init.sh as /init.
#   scripts/wine/vm/make-initramfs.sh KERNEL_VERSION OUTPUT
set -euo pipefail
version=$1
output=$2
here=$(cd "$(dirname "$0")" && pwd)

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree"/{bin,dev,proc,sys}
cp /usr/bin/busybox "$tree/bin/busybox"
install -m 755 "$here/init.sh" "$tree/init"

modules=(virtio_pci virtio_console 9pnet_virtio 9p overlay)
for module in "${modules[@]}"; do
  modprobe --set-version "$version" --show-depends "$module"
done |
  awk '$1 == "insmod" && !seen[$2]++ { print $2 }' >"$tree/modules"
while read -r module; do
  mkdir -p "$tree$(dirname "$module")"
  cp "$module" "$tree$module"
done <"$tree/modules"

(cd "$tree" && find . -print0 | LC_ALL=C sort -z |
  cpio --null --create --format=newc --reproducible --quiet) >"$output.part"
mv "$output.part" "$output"
