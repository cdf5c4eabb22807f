#!/usr/bin/python3
"""The way into the virtual machine that runs Wine where this machine's kernel runs no 32-bit
programs: how the route is chosen, a command's output, status and folder, Wine doing the tool's
job in the guest, that no other account can reach the VM, and how each broken piece fails: a
missing kernel, a guest that does not boot, a command that hangs, a guest that stops answering,
an interrupt, a bad request. Every failure must end with one line that names it and status 125,
and leave no QEMU behind.

    vm_test.py [unittest arguments, such as a class name]
"""
import glob
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VM = os.path.join(PROJECT, "scripts", "wine", "vm", "vm.py")
INTRUDER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "intruder.py")
IN_VM = os.path.join(PROJECT, "scripts", "in-vm.sh")
ROUTE = os.path.join(PROJECT, "scripts", "wine", "route.sh")
sys.path.insert(0, os.path.join(PROJECT, "scripts", "wine", "vm"))
import guest  # noqa: E402
import relay  # noqa: E402
import wire  # noqa: E402

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


def listening_endpoints(pid):
    """What the process `pid` listens on, found as an attacker finds it, with `ss`: its TCP and
    UDP ports as tcp:HOST:PORT, its UNIX sockets as unix:PATH."""
    listing = subprocess.run(["ss", "-Hlnp", "-A", "inet,unix"], capture_output=True,
                             text=True, check=True).stdout
    found = []
    for line in listing.splitlines():
        if f"pid={pid}," in line:
            netid, _, _, _, local = line.split()[:5]
            found.append(f"unix:{local}" if netid.startswith("u_") else f"tcp:{local}")
    return found


def as_another_account(*argv, stdin=""):
    """argv run as `nobody`, with no group of ours."""
    return subprocess.run(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                           "--reset-env", *argv], input=stdin, capture_output=True, text=True,
                          timeout=120)


def copy_the_vm_scripts(project):
    """Copies the VM's scripts into `project`, as a checkout that holds nothing else would have
    them; returns their folder there."""
    scripts = os.path.join(project, "scripts", "wine", "vm")
    shutil.copytree(os.path.join(PROJECT, "scripts", "wine", "vm"), scripts,
                    ignore=shutil.ignore_patterns("__pycache__"))
    return scripts


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
    """scripts/wine/route.sh, with the program it tries replaced by one that runs, one that the
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
        result = subprocess.run([os.path.join(PROJECT, "scripts", "wine", "run.sh"),
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


class KeepersSocket(unittest.TestCase):
    """The keeper's socket where the state folder's path is too long to name it by (a socket's
    address holds 107 bytes): reached through a descriptor of the folder, which each use gives
    back, since `start` asks four times a second whether the VM answers."""

    def test_a_long_path_reached_again_and_again_keeps_no_descriptor(self):
        top = tempfile.mkdtemp(prefix="mkvtype-vm-test-")
        self.addCleanup(shutil.rmtree, top)
        state = os.path.join(top, "a-state-folder-in-a-deep-checkout-" + "x" * 80)
        os.mkdir(state)
        with relay.listen(state) as listener:
            open_before = len(os.listdir("/proc/self/fd"))
            for _ in range(20):
                with relay.connect(state, timeout=5):
                    listener.accept()[0].close()
            self.assertEqual(len(os.listdir("/proc/self/fd")), open_before)


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

    def test_a_state_folder_not_of_this_accounts_own(self):
        """The VM's way in lives in its state folder: one that another account owns, or a link
        that another account could turn elsewhere, is refused before anything boots."""
        if os.getuid() != 0:
            self.skipTest("another account's folder is made only where the tests run as root")
        theirs = os.path.join(self.folder, "their-state")
        os.mkdir(theirs)
        os.chown(theirs, int(as_another_account("id", "-u").stdout),
                 int(as_another_account("id", "-g").stdout))
        linked = os.path.join(self.folder, "linked-state")
        os.symlink(scratch(), linked)
        self.addCleanup(shutil.rmtree, os.path.realpath(linked))
        for state in (theirs, linked):
            with self.subTest(os.path.basename(state)):
                result = vm("start", "--state", state, "--owner", str(os.getpid()))
                self.assertEqual(result.returncode, ROUTE_FAILED)
                one_line(self, result.stderr,
                         f"{state} is not a folder of this account's own, as the VM's folders")
                self.assertEqual(os.listdir(state), [])
                self.assertEqual(qemu_processes(state), [])

    def test_a_state_folder_whose_socket_cannot_be_made(self):
        """A folder left where the keeper's socket goes: the keeper says so, and no QEMU
        starts."""
        state = os.path.join(self.folder, "socket-in-the-way")
        os.makedirs(os.path.join(state, relay.SOCKET_NAME, "left-behind"))
        result = vm("start", "--state", state, "--owner", str(os.getpid()))
        self.assertEqual(result.returncode, ROUTE_FAILED)
        one_line(self, result.stderr, "the VM did not start: cannot open the keeper's socket "
                                      f"{state}/{relay.SOCKET_NAME}: Is a directory")
        self.assertEqual(qemu_processes(state), [])

    def test_a_project_under_tmp(self):
        """The guest's /tmp is its own: a project there must still be seen at its path. Its
        path is also too long for the keeper's socket to be named by it (a socket's address
        holds 107 bytes), as a deep checkout's may be."""
        top = tempfile.mkdtemp(prefix="mkvtype-vm-test-")
        self.addCleanup(shutil.rmtree, top)
        project = os.path.join(top, "a-checkout-in-a-deep-folder-" + "x" * 60)
        copied_vm = os.path.join(copy_the_vm_scripts(project), "vm.py")
        with open(os.path.join(project, "marker"), "w") as file:
            file.write("the host's file\n")
        result = subprocess.run(["/usr/bin/python3", copied_vm, "exec", "--", "cat", "marker"],
                                cwd=project, capture_output=True, text=True, timeout=600)
        self.assertEqual((result.returncode, result.stdout, result.stderr),
                         (0, "the host's file\n", ""))
        self.assertEqual(qemu_processes(project), [], "QEMU runs on after exec stopped it")
        self.assertEqual(glob.glob(os.path.join(project, "build", "vm", "vm-*")), [],
                         "exec left its state folder")

    def test_vms_started_together_make_their_initramfs_once(self):
        """VMs booted side by side, as the suite's are, in a checkout that has no initramfs yet:
        each finds the one that another is making, and none removes it from under another."""
        project = os.path.join(self.folder, "fresh-checkout")
        scripts = copy_the_vm_scripts(project)
        make = ["/usr/bin/python3", "-c", "import guest; print(guest.boot_files()[1])"]
        makers = [subprocess.Popen(make, cwd=scripts, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
                  for _ in range(4)]
        outputs = [maker.communicate(timeout=300) for maker in makers]
        results = [(maker.returncode, *output) for maker, output in zip(makers, outputs)]
        made = glob.glob(os.path.join(project, "build", "vm", "initramfs-*"))
        self.assertEqual(len(made), 1, made)
        self.assertEqual(results, [(0, made[0] + "\n", "")] * len(makers))


class OneVM(unittest.TestCase):
    """Commands sent into one running VM."""

    @classmethod
    def setUpClass(cls):
        cls.folder = scratch()
        # The state folder's own mode is all that keeps other accounts out: the folders above it
        # let every account through.
        cls.above_state = tempfile.mkdtemp(prefix="mkvtype-vm-test-")
        os.chmod(cls.above_state, 0o755)
        cls.state = os.path.join(cls.above_state, "state")
        started = vm("start", "--state", cls.state, "--owner", str(os.getpid()))
        if started.returncode != 0:
            raise AssertionError(f"the VM did not start: {started.stderr}")

    @classmethod
    def tearDownClass(cls):
        """Ends the VM as a keeper killed outright (SIGKILL, no clean-up of its own) would:
        QEMU's end of the agent's port closes with it, and the guest must power off rather
        than run on with no way in. (`vm.py stop` is shown by every `exec`.)"""
        qemu, = qemu_processes(cls.state)
        with open(os.path.join(cls.state, "keeper.pid")) as file:
            os.kill(int(file.read()), signal.SIGKILL)
        deadline = time.monotonic() + 60
        while running(qemu) and time.monotonic() < deadline:
            time.sleep(0.5)
        ran_on = running(qemu)
        if ran_on:
            os.kill(qemu, signal.SIGKILL)
        shutil.rmtree(cls.folder)
        shutil.rmtree(cls.above_state)
        assert not ran_on, "QEMU ran on without its keeper"

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

    def answers(self):
        return self.run_in_vm("true").returncode == 0

    def endpoints(self):
        """Every endpoint of the VM's QEMU and of its keeper."""
        qemu, = qemu_processes(self.state)
        with open(os.path.join(self.state, "keeper.pid")) as file:
            keeper = int(file.read())
        return listening_endpoints(qemu), listening_endpoints(keeper)

    def intrude(self):
        """Another account's attempts at every endpoint, while the owner's command runs: what
        each attempt got. Nothing may run: the marker that the intruder's command would make
        in the project's folder must never appear, and the owner's command must end as usual."""
        if os.getuid() != 0:
            self.skipTest("another account is tried only where the tests run as root")
        marker = os.path.join(self.folder, "intruder-was-here")
        owners = self.start_in_vm("sh", "-c", "sleep 3; echo finished")
        qemu_endpoints, keeper_endpoints = self.endpoints()
        owners_request = json.dumps({"argv": ["touch", marker], "cwd": self.folder,
                                     "env": dict(os.environ)}) + "\n"
        plan = {"endpoints": qemu_endpoints + keeper_endpoints, "marker": marker,
                "replay": owners_request}
        tried = as_another_account("/usr/bin/python3", INTRUDER, stdin=json.dumps(plan))
        self.assertEqual(tried.returncode, 0, tried.stderr)
        self.assertEqual(owners.communicate(timeout=60), ("finished\n", ""))
        self.assertEqual(owners.returncode, 0)
        self.assertFalse(os.path.exists(marker))
        self.assertTrue(self.answers())
        return qemu_endpoints, keeper_endpoints, json.loads(tried.stdout)

    def test_no_other_account_gets_in(self):
        qemu_endpoints, keeper_endpoints, got = self.intrude()
        self.assertEqual(qemu_endpoints, [], "QEMU listens on something")
        self.assertEqual(keeper_endpoints, [f"unix:{self.state}/{relay.SOCKET_NAME}"])
        for endpoint, attempts in got.items():
            for name, result in attempts.items():
                with self.subTest(endpoint=endpoint, attempt=name):
                    self.assertEqual(result, "connect: PermissionError")

    def test_a_careless_owners_open_folder_still_keeps_others_out(self):
        """The state folder and its socket opened to everyone, as a careless chmod would: the
        kernel's word on the peer's account still refuses every request."""
        socket_file = os.path.join(self.state, relay.SOCKET_NAME)
        os.chmod(self.state, 0o755)
        os.chmod(socket_file, 0o777)
        self.addCleanup(os.chmod, socket_file, 0o600)
        self.addCleanup(os.chmod, self.state, 0o700)
        _, _, got = self.intrude()
        refused = b"".join(wire.HEADER.pack(kind, len(payload)) + payload for kind, payload in
                           wire.refusal("this VM takes requests from its owner's account alone"))
        for endpoint, attempts in got.items():
            for name, result in attempts.items():
                with self.subTest(endpoint=endpoint, attempt=name):
                    self.assertEqual(result, repr(refused))

    def test_another_account_is_refused_in_one_line(self):
        """Another account that names this VM's state folder to vm.py is refused, and the VM
        runs on."""
        if os.getuid() != 0:
            self.skipTest("another account is tried only where the tests run as root")
        for command in (["run", "--state", self.state, "--", "true"],
                        ["stop", "--state", self.state]):
            with self.subTest(command[0]):
                result = as_another_account("/usr/bin/python3", VM, *command)
                self.assertEqual(result.returncode, ROUTE_FAILED, result.stderr)
                one_line(self, result.stderr, f"{self.state} is not a folder of this account's "
                                              f"own, as the VM's folders must be")
        self.assertTrue(self.answers())

    def test_bad_requests_are_refused_and_run_nothing(self):
        marker = os.path.join(self.folder, "bad-request-ran")
        command = {"argv": ["touch", marker], "cwd": "/", "env": {}}

        def line(request):
            return json.dumps(request).encode() + b"\n"

        unknown = "the request is not a command (argv, cwd, env), a ping or a power-off"

        rows = [
            # (what is wrong, the bytes sent, the reason said)
            ("not JSON", b"touch " + marker.encode() + b"\n", "the request is not JSON"),
            ("not UTF-8", b'{"argv": ["\xff"]}\n', "the request is not JSON"),
            ("not an object", line(command["argv"]), unknown),
            ("no env", line({"argv": command["argv"], "cwd": "/"}), unknown),
            ("a field more", line(dict(command, ping=True)), unknown),
            ("ping false", line({"ping": False}), unknown),
            ("argv a text", line(dict(command, argv="touch " + marker)),
             "argv is not a list of one or more texts"),
            ("argv empty", line(dict(command, argv=[])), "argv is not a list of one or more"),
            ("argv with a zero", line(dict(command, argv=["touch", marker + "\0"])),
             "argv is not a list of one or more texts"),
            ("cwd relative", line(dict(command, cwd="build")), "cwd is not an absolute path"),
            ("env name with =", line(dict(command, env={"A=B": "c"})),
             "env is not a map of variable names to texts"),
            ("env value a number", line(dict(command, env={"A": 1})),
             "env is not a map of variable names to texts"),
            ("larger than the limit",
             line(dict(command, env={"BIG": "x" * wire.REQUEST_LIMIT})),
             f"the request is larger than {wire.REQUEST_LIMIT} bytes"),
            ("two requests", line(command) + line(command), "more than one request"),
            ("no end of line", line(command)[:-1], "the request ended before its line did"),
        ]
        for name, sent, reason in rows:
            with self.subTest(name):
                with relay.connect(self.state, timeout=30) as connection:
                    connection.sendall(sent)
                    connection.shutdown(socket.SHUT_WR)
                    frames = list(iter(lambda: wire.receive(connection.recv), None))
                self.assertEqual(len(frames), 2, frames)
                (kind, said), (last, status) = frames
                self.assertEqual((kind, last, status), (wire.STDERR, wire.EXIT, b"125"))
                one_line(self, said.decode(), f"mkvtype-vm: refused: {reason}")
                self.assertFalse(os.path.exists(marker))
        result = self.run_in_vm("touch", marker)
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        self.assertTrue(os.path.exists(marker))

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
        subprocess.run(["bash", "-c", '. scripts/wine/env.sh && make_wine_prefix "$1" win32',
                        "-", prefix], cwd=PROJECT, check=True)
        demo = os.path.join(PROJECT, "scripts", "wine", "demo-in-wine.sh")
        result = subprocess.run([IN_VM, demo], capture_output=True, text=True, timeout=600,
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


def running(pid):
    """Whether `pid` runs: a process that ended but that no one has waited for yet does not."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            return file.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


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
