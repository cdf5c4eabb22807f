#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12, and nothing when all of it is
# there already. Needs root (or sudo). 32-bit Wine needs the i386 architecture. With --vm, also
# what runs Wine in a virtual machine, where the kernel here runs no 32-bit programs: QEMU, the
# guest's kernel and what its initramfs is made of.
#   scripts/install-deps.sh [--vm]
set -euo pipefail

packages=(
  cmake ninja-build g++ libgtest-dev       # native build and unit tests
  clang-format git                         # the format test
  g++-mingw-w64-i686                       # the Windows executable
  wine wine32:i386 wine64                  # running it, and the end-to-end tests
  python3-pefile icoutils imagemagick      # reading the image, making the icon
  hyperfine                                # the benchmark
  zip unzip openssl osslsigncode           # the release: packing, signing, time stamps
  python3-asn1crypto                       # reading a signature's structure
  locales                                  # building the release in another locale
  wixl msitools faketime                   # the Windows Installer package, on a stopped clock
)
if [ "${1-}" = --vm ]; then
  packages+=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod)
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# What of the list is installed, by name and by name with its architecture, in one look-up:
# the demo runs this twice, where a look-up for each package took 0.7 s in all.
installed_packages() {
  dpkg-query -W -f='${Package} ${binary:Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { print $1; print $2 }'
}

added_architecture=no
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  as_root dpkg --add-architecture i386
  added_architecture=yes
fi

installed=" $(installed_packages | tr '\n' ' ') "
missing=()
for package in "${packages[@]}"; do
  [[ $installed == *" $package "* ]] || missing+=("$package")
done

if [ "${#missing[@]}" -gt 0 ] || [ "$added_architecture" = yes ]; then
  as_root apt-get update -q
  if [ "${#missing[@]}" -gt 0 ]; then
    as_root env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
