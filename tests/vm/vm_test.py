#!/usr/bin/python3
"""The way into the virtual machine that runs Wine where this machine's kernel runs no 32-bit
programs: how the route is chosen, a command's output, status and folder, Wine doing the tool's
job in the guest, and how each broken piece fails: a missing kernel, a guest that does not boot,
a command that hangs, a guest that stops answering, an interrupt. Every failure must end with
one line that names it and status 125, and leave no QEMU behind.

    vm_test.py [unittest arguments, such as a class name]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VM = os.path.join(PROJECT, "scripts", "vm", "vm.py")
IN_VM = os.path.join(PROJECT, "scripts", "in-vm.sh")
ROUTE = os.path.join(PROJECT, "scripts", "wine-route.sh")
sys.path.insert(0, os.path.join(PROJECT, "scripts", "vm"))
import guest  # noqa: E402

ROUTE_FAILED = 125


def scratch():
    """A folder of the test's own inside the project, which the guest sees at the same path."""
    return tempfile.mkdtemp(dir=os.path.join(PROJECT, "build"), prefix="vm-test-")


def vm(*args, env=None, **more):
    return subprocess.run(["/usr/bin/python3", VM, *args], capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})), timeout=600, **more)


def qemu_processes(mentioning):
    """The QEMU processes whose command line names `mentioning`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                words = file.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if words[0].endswith("qemu-system-x86_64") and any(mentioning in w for w in words):
            found.append(int(pid))
    return found


def one_line(test, stderr, expected):
    """The route's failure: one line, and it says `expected`."""
    lines = stderr.strip().splitlines()
    test.assertEqual(len(lines), 1, f"not one line: {stderr!r}")
    test.assertTrue(lines[0].startswith("mkvtype-vm: "), lines[0])
    test.assertIn(expected, lines[0])


def not_elf_for_this_kernel(folder):
    """A program for another processor: exec fails with 'Exec format error', as an i386 one does
    where the kernel has no 32-bit support."""
    path = os.path.join(folder, "other-processor")
    header = bytearray(64)
    header[:7] = b"\x7fELF\x02\x01\x01"
    header[16:20] = (2).to_bytes(2, "little") + (0xB7).to_bytes(2, "little")  # AArch64
    with open(path, "wb") as file:
        file.write(header)
    os.chmod(path, 0o755)
    return path


class RouteIsChosenByRunningA32BitProgram(unittest.TestCase):
    """scripts/wine-route.sh, with the program it tries replaced by one that runs, one that the
    kernel refuses, and none."""

    def test_route_by_setting_and_program(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        refused = not_elf_for_this_kernel(folder)
        no_32_bit = ("this kernel runs no 32-bit programs: boot it with ia32_emulation=on, "
                     "or set MKVTYPE_WINE=vm")
        rows = [
            # (MKVTYPE_WINE, program tried, route printed, line on stderr)
            (None, "/bin/true", "native", ""),
            ("auto", refused, "vm", ""),
            ("native", "/bin/true", "native", ""),
            ("native", refused, "", no_32_bit),
            ("native", os.path.join(folder, "missing"), "", "no 32-bit Wine here"),
            ("vm", "/bin/true", "vm", ""),
            ("VM", "/bin/true", "", "it takes auto, native or vm"),
        ]
        for setting, program, route, said in rows:
            with self.subTest(setting=setting, program=os.path.basename(program)):
                env = {k: v for k, v in os.environ.items() if k != "MKVTYPE_WINE"}
                env["MKVTYPE_WINE_I386_PROGRAM"] = program
                if setting is not None:
                    env["MKVTYPE_WINE"] = setting
                result = subprocess.run([ROUTE], capture_output=True, text=True, env=env)
                self.assertEqual(result.stdout.strip(), route)
                self.assertEqual(result.returncode, 0 if route else 1)
                if said:
                    self.assertEqual(len(result.stderr.strip().splitlines()), 1)
                    self.assertIn(said, result.stderr)
                else:
                    self.assertEqual(result.stderr, "")

    def test_a_route_that_cannot_work_runs_nothing(self):
        """What the demo and the benchmark run their Wine part through."""
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        env = dict(os.environ, MKVTYPE_WINE="native",
                   MKVTYPE_WINE_I386_PROGRAM=not_elf_for_this_kernel(folder))
        result = subprocess.run([os.path.join(PROJECT, "scripts", "where-wine-runs.sh"),
                                 "echo", "ran"], capture_output=True, text=True, env=env)
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertIn("this kernel runs no 32-bit programs", result.stderr)

    def test_configuring_for_native_where_it_cannot_work_stops(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        env = dict(os.environ, MKVTYPE_WINE="native",
                   MKVTYPE_WINE_I386_PROGRAM=not_elf_for_this_kernel(folder))
        result = subprocess.run(["cmake", "-S", PROJECT, "-B", os.path.join(folder, "build"),
                                 "-G", "Ninja"], capture_output=True, text=True, env=env)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("this kernel runs no 32-bit programs", result.stderr)


class Boot(unittest.TestCase):
    """A VM that cannot start says why in one line, with status 125, and leaves no QEMU; one
    whose project lies where the guest has a file system of its own starts."""

    @classmethod
    def setUpClass(cls):
        cls.folder = scratch()
        _, cls.good_initramfs = guest.boot_files()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def initramfs_without(self, name, dropped_modules=(), drop_init=False):
        """Our initramfs with some of its modules, or its /init, left out."""
        tree = os.path.join(self.folder, name)
        os.makedirs(tree)
        with open(self.good_initramfs, "rb") as archive:
            subprocess.run(["cpio", "-id", "--quiet"], stdin=archive, cwd=tree, check=True)
        with open(os.path.join(tree, "modules")) as file:
            modules = [m for m in file.read().split()
                       if os.path.basename(m) not in dropped_modules]
        with open(os.path.join(tree, "modules"), "w") as file:
            file.write("".join(f"{m}\n" for m in modules))
        if drop_init:
            os.remove(os.path.join(tree, "init"))
        output = tree + ".cpio"
        listing = subprocess.run(["find", "."], cwd=tree, capture_output=True, check=True)
        with open(output, "wb") as file:
            subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], input=listing.stdout,
                           cwd=tree, stdout=file, check=True)
        return output

    def test_each_broken_piece(self):
        # Each row boots an initramfs of its own name, by which its QEMU is told from others.
        rows = [
            # (name, environment, initramfs, what the one line must say)
            ("MissingKernel", {"MKVTYPE_VM_KERNEL_PACKAGE": "linux-image-not-here"},
             self.initramfs_without("kernel-missing"),
             "no kernel for the VM: linux-image-not-here is not installed"),
            ("InitramfsCannotMountTheRoot", {},
             self.initramfs_without("no-9p", ("9p.ko", "9pnet_virtio.ko", "9pnet.ko")),
             "the VM did not start: cannot mount the host's root (9p tag hostroot)"),
            ("InitramfsWithoutInit", {}, self.initramfs_without("no-init", drop_init=True),
             "the VM did not start: Kernel panic - not syncing: VFS: Unable to mount root fs"),
            ("BootPastItsLimit", {"MKVTYPE_VM_BOOT_LIMIT": "1"},
             self.initramfs_without("slow"),
             "the VM did not start within 1 s (MKVTYPE_VM_BOOT_LIMIT)"),
        ]
        for name, env, initramfs, said in rows:
            with self.subTest(name):
                result = vm("exec", "--", "true", env=dict(env, MKVTYPE_VM_INITRAMFS=initramfs))
                self.assertEqual(result.returncode, ROUTE_FAILED)
                one_line(self, result.stderr, said)
                self.assertEqual(result.stdout, "")
                self.assertEqual(qemu_processes(initramfs), [])


    def test_a_project_under_tmp(self):
        """The guest's /tmp is its own: a project there must still be seen at its path."""
        project = tempfile.mkdtemp(prefix="mkvtype-vm-test-")
        self.addCleanup(shutil.rmtree, project)
        shutil.copytree(os.path.join(PROJECT, "scripts", "vm"),
                        os.path.join(project, "scripts", "vm"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        with open(os.path.join(project, "marker"), "w") as file:
            file.write("the host's file\n")
        copied_vm = os.path.join(project, "scripts", "vm", "vm.py")
        result = subprocess.run(["/usr/bin/python3", copied_vm, "exec", "--", "cat", "marker"],
                                cwd=project, capture_output=True, text=True, timeout=600)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, "the host's file\n", ""))


class OneVM(unittest.TestCase):
    """Commands sent into one running VM."""

    @classmethod
    def setUpClass(cls):
        cls.folder = scratch()
        cls.state = os.path.join(cls.folder, "state")
        started = vm("start", "--state", cls.state, "--owner", str(os.getpid()))
        if started.returncode != 0:
            raise AssertionError(f"the VM did not start: {started.stderr}")

    @classmethod
    def tearDownClass(cls):
        vm("stop", "--state", cls.state)
        left = qemu_processes(cls.state)
        shutil.rmtree(cls.folder)
        assert not left, f"QEMU still runs after stop: {left}"

    def run_in_vm(self, *argv, limit=None, env=None, **more):
        options = ["--limit", str(limit)] if limit else []
        return vm("run", "--state", self.state, *options, "--", *argv, env=env, **more)

    def start_in_vm(self, *argv, env=None):
        """A command started in the VM, once it has said that it runs."""
        process = subprocess.Popen(["/usr/bin/python3", VM, "run", "--state", self.state, "--",
                                    "sh", "-c", 'echo started; exec "$@"', "-", *argv],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=dict(os.environ, **(env or {})))
        self.addCleanup(process.stderr.close)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        self.assertEqual(process.stdout.readline(), "started\n")
        return process

    def guest_runs(self, pattern):
        return self.run_in_vm("pgrep", "-f", pattern).returncode == 0

    def test_command_runs_in_this_folder_with_its_output_and_status(self):
        folder = tempfile.mkdtemp(dir=self.folder)
        result = self.run_in_vm("sh", "-c", 'pwd; echo "$SEEN"; echo to-stderr >&2; '
                                "touch written-in-the-guest; exit 7",
                                env={"SEEN": "the host's environment"}, cwd=folder)
        self.assertEqual(result.stdout, f"{folder}\nthe host's environment\n")
        self.assertEqual(result.stderr, "to-stderr\n")
        self.assertEqual(result.returncode, 7)
        self.assertTrue(os.path.exists(os.path.join(folder, "written-in-the-guest")))

    def test_a_command_that_cannot_start(self):
        result = self.run_in_vm("/no/such/program")
        self.assertEqual(result.returncode, 127)
        self.assertIn("/no/such/program", result.stderr)

    def test_a_command_past_its_limit_is_stopped(self):
        result = self.run_in_vm("sleep", "602", limit=3)
        self.assertEqual(result.returncode, ROUTE_FAILED)
        one_line(self, result.stderr, "sleep 602: did not end within 3 s in the VM; stopped it")
        self.assertFalse(self.guest_runs("sleep 602"))

    def test_an_interrupted_run_ends_its_command(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal.Signals(number).name):
                process = self.start_in_vm("sleep", f"60{number}")
                process.send_signal(number)
                self.assertEqual(process.wait(timeout=10), 128 + number)
                deadline = time.monotonic() + 10
                while self.guest_runs(f"sleep 60{number}") and time.monotonic() < deadline:
                    time.sleep(0.5)
                self.assertFalse(self.guest_runs(f"sleep 60{number}"))

    def test_a_guest_that_stops_answering(self):
        """QEMU stopped (as a wedged guest would be) while a command runs."""
        process = self.start_in_vm("sleep", "603", env={"MKVTYPE_VM_SILENCE_LIMIT": "6"})
        qemu, = qemu_processes(self.state)
        os.kill(qemu, signal.SIGSTOP)
        try:
            _, stderr = process.communicate(timeout=60)
        finally:
            os.kill(qemu, signal.SIGCONT)
        self.assertEqual(process.returncode, ROUTE_FAILED)
        one_line(self, stderr, "the VM said nothing for 6 s while running sh -c")


class WineInTheVM(unittest.TestCase):
    """The tool doing its job under Wine in the guest: the demo's three entries. Run where this
    machine runs Wine itself, so that the route is proven where it is not taken; the prefix is
    made here, in seconds where the guest takes most of a minute, since what is tested is Wine
    in the guest. (Where the route is taken, every Wine test proves it.)"""

    def test_the_demos_entries(self):
        folder = scratch()
        self.addCleanup(shutil.rmtree, folder)
        prefix = os.path.join(folder, "prefix")
        subprocess.run(["bash", "-c", '. scripts/wine-env.sh && make_wine_prefix "$1" win32',
                        "-", prefix], cwd=PROJECT, check=True)
        result = subprocess.run([IN_VM, os.path.join(PROJECT, "scripts", "demo-in-wine.sh")],
                                capture_output=True, text=True, timeout=600,
                                env=dict(os.environ, MKVTYPE_DEMO_PREFIX=prefix))
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in ("Exit status: 0", "76    REG_SZ    Matroska", "76    REG_SZ    *.mkv",
                     "(Default)    REG_SZ    AVIfile"):
            self.assertIn(line, result.stdout)


class InterruptedExec(unittest.TestCase):
    """scripts/in-vm.sh stopped by Ctrl-C or SIGTERM while its command runs: it stops its VM."""

    def test_each_signal(self):
        for number in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal.Signals(number).name):
                process = subprocess.Popen([IN_VM, "sh", "-c", "echo started; sleep 600"],
                                           stdout=subprocess.PIPE, text=True)
                self.addCleanup(process.stdout.close)
                self.addCleanup(process.kill)
                self.assertEqual(process.stdout.readline(), "started\n")
                qemu, = started_by(process.pid)
                process.send_signal(number)
                self.assertEqual(process.wait(timeout=60), 128 + number)
                self.assertFalse(os.path.exists(f"/proc/{qemu}"))
                self.assertEqual(started_by(process.pid), [])


def started_by(pid):
    """The QEMU processes that the keeper of the VM.py process `pid` runs."""
    def parent(child):
        with open(f"/proc/{child}/stat") as file:
            return int(file.read().rsplit(")", 1)[1].split()[1])
    found = []
    for qemu in qemu_processes(""):
        try:
            if parent(parent(qemu)) == pid:
                found.append(qemu)
        except (OSError, ValueError):
            pass
    return found


if __name__ == "__main__":
    unittest.main(verbosity=2)
