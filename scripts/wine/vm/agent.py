"""Runs the host's commands in the guest: the guest's init starts it once the host's root is
mounted, and powers the machine off when it ends.

It serves one virtio-serial port, whose other end on the host only the keeper holds (see
relay.py): the guest has no network. Frames come with the channel of the client they belong to
(see wire.py); a request is checked as the keeper checks it, and a refused one runs nothing. A
command runs in a session of its own, with no standard input; when the keeper says that its
client has gone, its whole process group is killed. When the host's end closes, the keeper has
gone and no one can reach the guest any more: the agent ends, and the guest powers off.
"""
import contextlib
import os
import signal
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402

PORT_NAME = "mkvtype.agent"


def port_device():
    """/dev/vportNpM of the port named PORT_NAME: the guest runs no udev, which would link it
    under /dev/virtio-ports."""
    ports = "/sys/class/virtio-ports"
    for port in sorted(os.listdir(ports)):
        with open(os.path.join(ports, port, "name")) as file:
            if file.read().strip() == PORT_NAME:
                return os.path.join("/dev", port)
    raise SystemExit(f"mkvtype-vm: no virtio-serial port named {PORT_NAME}")


class Command:
    """One channel's command, and whether its client has gone."""

    def __init__(self):
        self.process = None
        self.hung_up = False


class Agent:
    def __init__(self, port):
        self.port = port
        self.write_lock = threading.Lock()
        self.commands = {}
        self.lock = threading.Lock()

    def write(self, frame):
        with self.write_lock:
            view = memoryview(frame)
            while view:
                view = view[os.write(self.port, view):]

    def serve(self):
        while True:
            frame = wire.receive_on_channel(lambda size: os.read(self.port, size),
                                           limit=wire.REQUEST_LIMIT)
            if frame is None:
                return
            channel, kind, payload = frame
            sender = wire.Sender(self.write, channel)
            if kind == wire.HANGUP:
                self.hang_up(channel)
            elif kind == wire.REQUEST and self.answer(channel, payload, sender):
                return

    def answer(self, channel, payload, sender):
        """Answers a request, or starts its command; True where it asks the agent to end."""
        try:
            request = wire.parse_request(payload)
        except wire.Refused as refused:
            for kind, answer in wire.refusal(refused):
                sender.send(kind, answer)
            return False
        if "argv" not in request:
            sender.send(wire.EXIT, b"0")
            return "poweroff" in request
        with self.lock:
            self.commands[channel] = Command()
        threading.Thread(target=self.run, args=(channel, request, sender), daemon=True).start()
        return False

    def hang_up(self, channel):
        with self.lock:
            command = self.commands.get(channel)
            if command is None:
                return
            command.hung_up = True
            process = command.process
        if process is not None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGKILL)

    def run(self, channel, request, sender):
        try:
            status = self.run_command(channel, request, sender)
        finally:
            with self.lock:
                del self.commands[channel]
        # A process killed by a signal ends with 128 + the signal's number, as a shell says it.
        sender.send(wire.EXIT, str(status if status >= 0 else 128 - status).encode())

    def run_command(self, channel, request, sender):
        try:
            process = subprocess.Popen(request["argv"], cwd=request["cwd"], env=request["env"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, start_new_session=True)
        except OSError as error:
            sender.send(wire.STDERR, f"{request['argv'][0]}: {error.strerror}\n".encode())
            return 127
        with self.lock:
            command = self.commands[channel]
            command.process = process
            hung_up = command.hung_up
        if hung_up:  # its client went while it started
            os.killpg(process.pid, signal.SIGKILL)
        done = threading.Event()
        pumps = [threading.Thread(target=pump, args=(stream, kind, sender))
                 for stream, kind in ((process.stdout, wire.STDOUT),
                                      (process.stderr, wire.STDERR))]
        threading.Thread(target=heartbeat, args=(sender, done), daemon=True).start()
        for thread in pumps:
            thread.start()
        for thread in pumps:
            thread.join()
        status = process.wait()
        done.set()
        return status


def pump(stream, kind, sender):
    for chunk in iter(lambda: stream.read1(65536), b""):
        sender.send(kind, chunk)


def heartbeat(sender, done):
    while not done.wait(wire.HEARTBEAT_SECONDS):
        sender.send(wire.HEARTBEAT, b"")


if __name__ == "__main__":
    agent = Agent(os.open(port_device(), os.O_RDWR))
    print("mkvtype-vm: agent serving its port", file=sys.stderr, flush=True)
    agent.serve()
