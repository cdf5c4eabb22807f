#!/usr/bin/python3
"""A virtual machine that runs this machine's own Wine where the kernel here runs no 32-bit
code: QEMU's software emulation of a PC, booting Debian's kernel with an initramfs of ours, on
the host's root read-only (with a layer in memory for writes), with the project's folder
writable at its own path. Commands are sent to an agent in the guest and run there, in the same
folder, their output coming back as it comes and their exit status as ours. The only way in is
the keeper's socket in the state folder, which is the owner's alone (see relay.py).

    vm.py start --state DIR [--owner PID]   boot a VM that lives until `stop`, or until the
                                            process PID (by default the caller) ends
    vm.py run --state DIR [--limit S] -- COMMAND...
                                            run COMMAND in the VM that DIR holds
    vm.py stop --state DIR                  power that VM off
    vm.py exec [--limit S] -- COMMAND...    all three: a VM of its own for one command

Whatever fails on the way in (a missing kernel, a guest that does not boot, a guest that stops
answering, a command past its limit) is said in one line on stderr beginning `mkvtype-vm:`,
with exit status 125; otherwise the status is the command's own.
"""
import argparse
import contextlib
import json
import os
import select
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guest  # noqa: E402
import relay  # noqa: E402
import wire  # noqa: E402

ROUTE_FAILED = wire.REFUSED
# How long a boot may take, to the agent's first answer: about 10 s is usual under emulation.
BOOT_LIMIT = float(os.environ.get("MKVTYPE_VM_BOOT_LIMIT", 180))
# How long a running guest may say nothing (it says something every HEARTBEAT_SECONDS).
SILENCE_LIMIT = float(os.environ.get("MKVTYPE_VM_SILENCE_LIMIT", 60))
# How long a powered-off guest may take to stop.
STOP_LIMIT = 30


# How the keeper says, in its log, that it failed before QEMU could start.
KEEPER_FAILED = "mkvtype-vm: keeper failed: "


class RouteFailed(Exception):
    """Something on the way into the VM failed: the message says what, in one line."""


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    start_parser = commands.add_parser("start")
    start_parser.add_argument("--state", required=True)
    start_parser.add_argument("--owner", type=int, default=os.getppid())
    for name in ("run", "exec"):
        command_parser = commands.add_parser(name)
        if name == "run":
            command_parser.add_argument("--state", required=True)
        command_parser.add_argument("--limit", type=float)
        command_parser.add_argument("argv", nargs="+")
    commands.add_parser("stop").add_argument("--state", required=True)
    keep_parser = commands.add_parser("keep")  # the keeper, started by `start`
    keep_parser.add_argument("--state", required=True)
    keep_parser.add_argument("--owner", type=int, required=True)
    arguments = parser.parse_args(argv)

    # SIGTERM, like Ctrl-C, ends this process through its clean-up.
    signal.signal(signal.SIGTERM, lambda number, _: sys.exit(128 + number))
    try:
        if arguments.command == "start":
            start(arguments.state, arguments.owner)
            return 0
        if arguments.command == "run":
            return run(arguments.state, arguments.argv, arguments.limit)
        if arguments.command == "stop":
            stop(arguments.state)
            return 0
        if arguments.command == "keep":
            return keep(arguments.state, arguments.owner)
        return exec_once(arguments.argv, arguments.limit)
    except (RouteFailed, guest.Missing) as failure:
        print(f"mkvtype-vm: {failure}", file=sys.stderr, flush=True)
        return ROUTE_FAILED
    except KeyboardInterrupt:
        return 128 + signal.SIGINT


def exec_once(argv, limit):
    state = tempfile.mkdtemp(prefix="vm-", dir=guest.cache_folder())
    try:
        start(state, os.getpid())
        return run(state, argv, limit)
    finally:
        stop(state, at_once=True)
        for name in os.listdir(state):
            os.remove(os.path.join(state, name))
        os.rmdir(state)


def start(state, owner):
    """Boots the VM and returns once its agent answers. The VM is held by a keeper process of
    its own, which powers it off when `owner` ends, so that no VM outlives the run that wanted
    it: not even one whose clean-up never ran."""
    private_folder(state)
    private_folder(guest.machine_cache_folder())
    stop(state)  # one that an earlier run left
    kernel, initramfs = guest.boot_files()
    with open(os.path.join(state, "boot.json"), "w") as file:
        json.dump({"kernel": kernel, "initramfs": initramfs}, file)
    with open(os.path.join(state, "keeper.log"), "wb") as log:
        keeper = subprocess.Popen([sys.executable, os.path.abspath(__file__), "keep", "--state",
                                   state, "--owner", str(owner)],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  start_new_session=True)
    with open(os.path.join(state, "keeper.pid"), "w") as file:
        file.write(str(keeper.pid))
    deadline = time.monotonic() + BOOT_LIMIT
    while True:
        if keeper.poll() is not None:
            raise RouteFailed(f"the VM did not start: {why_it_stopped(state)}")
        if time.monotonic() > deadline:
            stop(state)
            raise RouteFailed(f"the VM did not start within {BOOT_LIMIT:.0f} s "
                              f"(MKVTYPE_VM_BOOT_LIMIT): {last_console_line(state)}")
        if answers(state):
            return
        time.sleep(0.25)


class Stop(Exception):
    pass


def stop_now(*_):
    raise Stop


def keep(state, owner):
    """Runs QEMU until it powers off, or until the owner ends or SIGTERM comes (then ends it)."""
    with open(os.path.join(state, "boot.json")) as file:
        boot = json.load(file)
    qemu = None
    signal.signal(signal.SIGTERM, stop_now)
    try:
        listener = relay.listen(state)
    except OSError as error:  # said in its log, which `start` reads
        print(f"{KEEPER_FAILED}cannot open the keeper's socket "
              f"{os.path.join(state, relay.SOCKET_NAME)}: {error.strerror}", flush=True)
        return ROUTE_FAILED
    # QEMU holds one end of the agent's port, the relay the other: no path, no port, that
    # another process could open.
    to_guest, guests_end = socket.socketpair()
    try:
        owner_ended = os.pidfd_open(owner)
        qemu = subprocess.Popen(guest.qemu_command(boot["kernel"], boot["initramfs"],
                                                   guests_end.fileno(),
                                                   os.path.join(state, "console.log")),
                                stdin=subprocess.DEVNULL, stdout=sys.stdout, stderr=sys.stderr,
                                pass_fds=[guests_end.fileno()])
        guests_end.close()
        relay.Relay(listener, to_guest).start()
        select.select([owner_ended, os.pidfd_open(qemu.pid)], [], [])
    except (Stop, ProcessLookupError):
        pass
    finally:
        listener.close()
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(state, relay.SOCKET_NAME))
    if qemu is None:
        return 0
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if qemu.poll() is None:
        qemu.terminate()
        try:
            qemu.wait(timeout=10)
        except subprocess.TimeoutExpired:  # a stopped QEMU takes no SIGTERM
            qemu.kill()
    return qemu.wait()


def stop(state, at_once=False):
    """Powers the VM off, and where it does not stop in time, ends it; does nothing where none
    runs. With `at_once` it is ended without a power-off, which takes the guest 1.5 to 2 s:
    for a VM whose one command has ended, since the guest caches nothing of the folders it
    shares, and so all that the command wrote to the host is there already."""
    refuse_anothers_state(state)
    keeper = read_pid(os.path.join(state, "keeper.pid"))
    if keeper is None:
        return
    powering_off = not at_once and request(state, {"poweroff": True}, timeout=5) == b"0"
    if not (powering_off and ended(keeper, STOP_LIMIT)):
        with contextlib.suppress(ProcessLookupError):
            os.kill(keeper, signal.SIGTERM)
        ended(keeper, STOP_LIMIT)
    os.remove(os.path.join(state, "keeper.pid"))


def run(state, argv, limit=None):
    """Runs argv in the VM, in this folder, with this environment; returns its exit status."""
    refuse_anothers_state(state)
    if read_pid(os.path.join(state, "keeper.pid")) is None:
        raise RouteFailed(f"no VM runs for {state}: start one first (vm.py start)")
    connection = connect(state)
    command = " ".join(argv)
    try:
        # In the guest Wine runs as it does where the kernel runs 32-bit programs, and the
        # tests' Wine prefixes are made once for the machine (ready_prefixes.py).
        environment = dict(os.environ, MKVTYPE_WINE="native",
                           MKVTYPE_READY_PREFIXES=os.path.join(guest.machine_cache_folder(),
                                                               "prefixes"))
        connection.sendall(json.dumps({"argv": argv, "cwd": os.getcwd(),
                                       "env": environment}).encode() + b"\n")
        deadline = time.monotonic() + limit if limit else None
        while True:
            wait = SILENCE_LIMIT
            if deadline is not None:
                wait = min(wait, deadline - time.monotonic())
                if wait <= 0:
                    raise RouteFailed(f"{command}: did not end within {limit:.0f} s in the VM; "
                                      f"stopped it")
            connection.settimeout(wait)
            try:
                frame = wire.receive(connection.recv)
            except socket.timeout:
                if deadline is not None and time.monotonic() >= deadline:
                    continue
                raise RouteFailed(f"the VM said nothing for {SILENCE_LIMIT:.0f} s while running "
                                  f"{command}: it has stopped or hangs") from None
            except ConnectionError:
                frame = None
            if frame is None:
                raise RouteFailed(f"the VM stopped while running {command}: "
                                  f"{why_it_stopped(state)}")
            kind, payload = frame
            if kind == wire.EXIT:
                return int(payload)
            if kind in (wire.STDOUT, wire.STDERR):
                stream = sys.stdout if kind == wire.STDOUT else sys.stderr
                stream.buffer.write(payload)
                stream.flush()
    finally:
        connection.close()  # before it ends, this kills the command in the guest


def connect(state):
    try:
        return relay.connect(state, timeout=10)
    except OSError as error:
        raise RouteFailed(f"cannot reach the VM's keeper in {state}: {error}") from None


def request(state, message, timeout):
    """The exit frame's payload of a short request; None where the agent does not answer."""
    try:
        with relay.connect(state, timeout) as connection:
            connection.sendall(json.dumps(message).encode() + b"\n")
            frame = wire.receive(connection.recv)
            return frame[1] if frame else None
    except OSError:
        return None


def answers(state):
    return request(state, {"ping": True}, timeout=2) == b"0"


def private_folder(path):
    """A folder made where it is missing, and this account's alone: the VM's state, whose socket
    is the way into the VM, and the machine's cache, whose prefixes the guest runs. Refused
    where it is another account's, or not a folder."""
    os.makedirs(path, mode=0o700, exist_ok=True)
    info = own_folder(path)
    if stat.S_IMODE(info.st_mode) != 0o700:
        os.chmod(path, 0o700)


def own_folder(path):
    """Refuses `path` where it is not a folder of this account's own; FileNotFoundError where
    there is none."""
    info = os.lstat(path)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid():
        raise RouteFailed(f"{path} is not a folder of this account's own, as the VM's "
                          f"folders must be")
    return info


def refuse_anothers_state(state):
    """Refuses another account's state folder in one line before anything in it is read; one
    that is missing holds no VM, which the caller finds."""
    with contextlib.suppress(FileNotFoundError):
        own_folder(state)


def read_pid(path):
    try:
        with open(path) as file:
            pid = int(file.read())
        os.kill(pid, 0)
        return pid
    except (FileNotFoundError, ValueError, ProcessLookupError):
        return None


def read_boot(state):
    try:
        with open(os.path.join(state, "boot.json")) as file:
            return json.load(file)
    except FileNotFoundError:
        return {}


def ended(pid, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            # A keeper that this process started stays a zombie until it is waited for.
            with contextlib.suppress(ChildProcessError):
                os.waitpid(pid, os.WNOHANG)
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.1)
    return False


def why_it_stopped(state):
    """The guest's own word on why it stopped, else the keeper's or QEMU's, else the console's
    last line."""
    console = read_lines(os.path.join(state, "console.log"))
    for line in console:
        if "mkvtype-vm: failed:" in line:
            return line.split("mkvtype-vm: failed: ", 1)[1]
    for line in console:
        if "Kernel panic" in line:
            return line.split("] ", 1)[-1]
    for line in read_lines(os.path.join(state, "keeper.log")):
        if line.startswith(KEEPER_FAILED):
            return line.removeprefix(KEEPER_FAILED)
        if line.startswith("qemu-system-x86_64:") and "warning:" not in line:
            return line
    return last_console_line(state)


def last_console_line(state):
    lines = read_lines(os.path.join(state, "console.log"))
    return f"its console's last line: {lines[-1]}" if lines else "its console is empty"


def read_lines(path):
    try:
        with open(path, errors="replace") as file:
            return [line.strip() for line in file if line.strip()]
    except FileNotFoundError:
        return []


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
