"""Runs the host's commands in the guest: the guest's init starts it once the host's root is
mounted, and powers the machine off when it ends.

It listens on the guest's side of the port that QEMU forwards from the host's loopback. Each
connection carries one request, a line of JSON, and is answered with frames (see wire.py):
  {"argv": [...], "cwd": "...", "env": {...}}  runs the command: its output as it comes, a
                                               heartbeat while it runs, then its exit status
  {"ping": true}                               answers, once the guest is up
  {"poweroff": true}                           ends the agent, and with it the guest
A command runs in a session of its own, with no standard input; when its connection closes
before it ends (the host's side was stopped), its whole process group is killed.
"""
import contextlib
import json
import os
import signal
import socketserver
import subprocess
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wire  # noqa: E402


class Connection(socketserver.StreamRequestHandler):
    def handle(self):
        request = json.loads(self.rfile.readline() or b"{}")
        sender = wire.Sender(self.connection)
        if request.get("ping"):
            sender.send(wire.EXIT, b"0")
        elif request.get("poweroff"):
            sender.send(wire.EXIT, b"0")
            threading.Thread(target=self.server.shutdown).start()
        elif "argv" in request:
            self.run(request, sender)

    def run(self, request, sender):
        try:
            process = subprocess.Popen(request["argv"], cwd=request["cwd"], env=request["env"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, start_new_session=True)
        except OSError as error:
            sender.send(wire.STDERR, f"{request['argv'][0]}: {error.strerror}\n".encode())
            sender.send(wire.EXIT, b"127")
            return
        done = threading.Event()
        pumps = [threading.Thread(target=pump, args=(stream, kind, sender))
                 for stream, kind in ((process.stdout, wire.STDOUT),
                                      (process.stderr, wire.STDERR))]
        watchers = [threading.Thread(target=heartbeat, args=(sender, done), daemon=True),
                    threading.Thread(target=kill_when_host_goes,
                                     args=(self.connection, process, done), daemon=True)]
        for thread in pumps + watchers:
            thread.start()
        for thread in pumps:
            thread.join()
        status = process.wait()
        done.set()
        # A process killed by a signal ends with 128 + the signal's number, as a shell says it.
        sender.send(wire.EXIT, str(status if status >= 0 else 128 - status).encode())


def pump(stream, kind, sender):
    for chunk in iter(lambda: stream.read1(65536), b""):
        sender.send(kind, chunk)


def heartbeat(sender, done):
    while not done.wait(wire.HEARTBEAT_SECONDS):
        sender.send(wire.HEARTBEAT, b"")


def kill_when_host_goes(connection, process, done):
    """The host sends nothing after its request: reading here returns only when the host's side
    closes, or when the command has ended and the agent closes it."""
    try:
        connection.recv(1)
    except OSError:
        pass
    if not done.is_set():
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


if __name__ == "__main__":
    with Server(("0.0.0.0", wire.GUEST_PORT), Connection) as server:
        print("mkvtype-vm: agent listening", file=sys.stderr, flush=True)
        server.serve_forever()
