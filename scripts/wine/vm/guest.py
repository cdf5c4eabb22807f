"""What the VM boots and how QEMU runs it."""
import fcntl
import hashlib
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
# Both may be named otherwise, for the tests.
KERNEL_PACKAGE = os.environ.get("MKVTYPE_VM_KERNEL_PACKAGE", "linux-image-amd64")
INITRAMFS = os.environ.get("MKVTYPE_VM_INITRAMFS")
# Memory for the guest: a test run's prefix lives in its /dev/shm (up to 1 GB), beside Wine's
# processes and the page cache. QEMU takes the host's memory only as the guest touches it.
MEMORY = "8G"


class Missing(Exception):
    pass


def cache_folder():
    """What the route makes, under the build folder: remade, never committed."""
    folder = os.path.join(PROJECT, "build", "vm")
    os.makedirs(folder, exist_ok=True)
    return folder


def machine_cache_folder():
    """What the guest keeps between runs and checkouts of this machine (the tests' ready Wine
    prefixes), shared with it writable: this account's alone, since what the guest finds there
    it runs."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "mkvtype")


def kernel_version():
    """The release of the kernel that Debian's linux-image-amd64 depends on, as /boot and
    /lib/modules name it."""
    try:
        depends = subprocess.run(["dpkg-query", "-W", "-f=${Depends}", KERNEL_PACKAGE],
                                 capture_output=True, text=True, check=True).stdout
    except subprocess.CalledProcessError:
        depends = ""
    package = depends.split(",")[0].split()[0] if depends.strip() else ""
    version = package.removeprefix("linux-image-")
    if not version or not os.path.exists(f"/boot/vmlinuz-{version}"):
        raise Missing(f"no kernel for the VM: {KERNEL_PACKAGE} is not installed "
                      f"(scripts/install-deps.sh --vm installs it)")
    return version


# The other packages the route needs: QEMU, and what the initramfs is made of (busybox's static
# build: the initramfs has no C library).
PACKAGES = ("qemu-system-x86", "busybox-static", "cpio", "kmod")


def installed(package):
    status = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}", package],
                            capture_output=True, text=True).stdout
    return status == "installed"


def boot_files():
    """The kernel and our initramfs for it, made again whenever the installed packages or the
    scripts that make it change."""
    version = kernel_version()
    missing = [package for package in PACKAGES if not installed(package)]
    if missing:
        raise Missing(f"not installed for the VM: {' '.join(missing)} "
                      f"(scripts/install-deps.sh --vm installs them)")
    if INITRAMFS:
        return f"/boot/vmlinuz-{version}", INITRAMFS
    packages = subprocess.run(["dpkg-query", "-W", "-f=${Package}:${Architecture}=${Version}\n"],
                              capture_output=True, check=True).stdout
    key = hashlib.sha256(packages)
    for name in ("init.sh", "make-initramfs.sh"):
        with open(os.path.join(HERE, name), "rb") as file:
            key.update(file.read())
    initramfs = os.path.join(cache_folder(), f"initramfs-{key.hexdigest()[:16]}.cpio")
    # VMs booted side by side would each make it, and each remove what another is making.
    with open(os.path.join(cache_folder(), "initramfs.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(initramfs):
            for name in os.listdir(cache_folder()):
                if name.startswith("initramfs-"):
                    os.remove(os.path.join(cache_folder(), name))
            subprocess.run([os.path.join(HERE, "make-initramfs.sh"), version, initramfs],
                           check=True)
    return f"/boot/vmlinuz-{version}", initramfs


def qemu_command(kernel, initramfs, agent_socket, console):
    """QEMU's arguments: the agent's port is the connected socket `agent_socket`, a file
    descriptor that QEMU inherits."""
    return [
        "qemu-system-x86_64", "-nodefaults", "-display", "none", "-no-reboot",
        # Software emulation of one processor, QEMU's plain 64-bit one. One: a guest of two
        # emulated processors ran one chain of Wine programs up to a third slower than a guest of
        # one (its kernel also reads the time from the emulated HPET, having found the two
        # processors' clocks apart), and two chains side by side in 1.4 to 1.75 times the time
        # of one, where two guests of one processor each ran them in the time of one; so work
        # that can go side by side goes to VMs of its own. The plain processor: its programs
        # take the baseline code paths, which emulate faster (a prefix in 38 s, not 44, and
        # every Wine test a tenth faster than under `max`), and it has no SMAP, which QEMU 7.2's
        # `max` emulates wrongly (the guest's kernel crashed at the first 32-bit program).
        "-accel", "tcg", "-smp", "1", "-m", MEMORY,
        "-cpu", "qemu64",
        "-kernel", kernel, "-initrd", initramfs,
        # The guest runs one account's commands and nothing else: its kernel need not guard its
        # processes from each other, and each guard costs under emulation. One layout for every
        # process (norandmaps) lets QEMU reuse the code it translated for the last one that ran
        # the same program: a Wine program starts in 0.33 s, not 0.65 s.
        "-append", f"console=ttyS0 quiet panic=-1 norandmaps mitigations=off init_on_alloc=0 "
                   f"mkvtype.project={PROJECT} mkvtype.cache={machine_cache_folder()}",
        "-serial", f"file:{console}",
        # The host's root, read-only; `remap` keeps the inode numbers of its several file
        # systems apart.
        "-fsdev", "local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap",
        "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
        "-fsdev", f"local,id=project,path={PROJECT},security_model=none",
        "-device", "virtio-9p-pci,fsdev=project,mount_tag=project",
        "-fsdev", f"local,id=cache,path={machine_cache_folder()},security_model=none",
        "-device", "virtio-9p-pci,fsdev=cache,mount_tag=cache",
        # The agent's one port, and no network: the guest reaches nothing but its keeper.
        "-chardev", f"socket,id=agent,fd={agent_socket}",
        "-device", "virtio-serial-pci",
        "-device", "virtserialport,chardev=agent,name=mkvtype.agent",
    ]
