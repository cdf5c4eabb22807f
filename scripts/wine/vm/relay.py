"""The one way into a running VM, held by its keeper: a UNIX socket in the VM's state folder,
which only the account that started the VM may enter (the folder is its alone, mode 0700), and
whose every connection is checked again by the kernel's word on the peer's account
(SO_PEERCRED), relayed to the guest's agent over a virtio-serial port whose other end is one
half of a socket pair that only QEMU holds. QEMU listens on nothing, and the guest has no
network.

Each client sends one request, checked here before anything of it reaches the guest (see
wire.py), and gets the guest's frames for it back; when a client goes before its command ends,
the guest is told to kill the command.
"""
import contextlib
import itertools
import json
import os
import queue
import socket
import struct
import threading

import wire

SOCKET_NAME = "agent.sock"
# A client says what it wants at once; one that does not is refused rather than held.
REQUEST_SECONDS = 10
PEER_CREDENTIALS = struct.Struct("3i")  # pid, uid, gid
# sockaddr_un's sun_path holds 108 bytes, with the zero at the end.
LONGEST_SOCKET_PATH = 107


@contextlib.contextmanager
def socket_address(state):
    """The socket's path, or where the state folder's path is too long for a socket's address,
    the same socket reached through a file descriptor of the folder, held while it is used."""
    path = os.path.join(state, SOCKET_NAME)
    if len(os.fsencode(path)) <= LONGEST_SOCKET_PATH:
        yield path
        return
    folder = os.open(state, os.O_PATH | os.O_DIRECTORY)
    try:
        yield f"/proc/self/fd/{folder}/{SOCKET_NAME}"
    finally:
        os.close(folder)


def listen(state):
    """The keeper's listening socket in the state folder, open to this account alone."""
    path = os.path.join(state, SOCKET_NAME)
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    old_mask = os.umask(0o177)
    try:
        with socket_address(state) as address:
            listener.bind(address)
    finally:
        os.umask(old_mask)
    listener.listen(16)
    return listener


def connect(state, timeout):
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(timeout)
    try:
        with socket_address(state) as address:
            connection.connect(address)
    except OSError:
        connection.close()
        raise
    return connection


def peer_account(connection):
    credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                        PEER_CREDENTIALS.size)
    return PEER_CREDENTIALS.unpack(credentials)[1]


def read_request_line(connection):
    """The request's line, at most REQUEST_LIMIT bytes and its newline; Refused otherwise."""
    connection.settimeout(REQUEST_SECONDS)
    line = b""
    try:
        while not line.endswith(b"\n"):
            chunk = connection.recv(65536)
            if not chunk:
                raise wire.Refused("the request ended before its line did")
            line += chunk
            if len(line) > wire.REQUEST_LIMIT + 1:
                raise wire.Refused(f"the request is larger than {wire.REQUEST_LIMIT} bytes")
    except socket.timeout:
        raise wire.Refused(f"no request within {REQUEST_SECONDS} s") from None
    finally:
        connection.settimeout(None)
    if line.count(b"\n") > 1 or not line.endswith(b"\n"):
        raise wire.Refused("more than one request on a connection")
    return line[:-1]


class Client:
    """A client's connection, written by a thread of its own, so that one that reads slowly
    holds up no other."""

    def __init__(self, connection):
        self.connection = connection
        self.frames = queue.SimpleQueue()
        self.writer = threading.Thread(target=self.write_frames, daemon=True)
        self.writer.start()

    def put(self, kind, payload):
        self.frames.put((kind, payload))

    def write_frames(self):
        sender = wire.Sender(self.connection.sendall)
        while True:
            kind, payload = self.frames.get()
            if kind is None:  # its client went first
                return
            sender.send(kind, payload)
            if kind == wire.EXIT:
                # Its reader waits for the client to close: this ends the wait.
                with contextlib.suppress(OSError):
                    self.connection.shutdown(socket.SHUT_RDWR)
                return


class Relay:
    def __init__(self, listener, guest):
        self.listener = listener
        self.guest = guest
        self.guest_lock = threading.Lock()
        self.clients = {}
        self.lock = threading.Lock()
        self.channels = itertools.count(1)

    def start(self):
        threading.Thread(target=self.accept, daemon=True).start()
        threading.Thread(target=self.from_guest, daemon=True).start()

    def accept(self):
        while True:
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        with connection:
            client = Client(connection)
            try:
                if peer_account(connection) != os.getuid():
                    raise wire.Refused("this VM takes requests from its owner's account alone")
                request = wire.parse_request(read_request_line(connection))
            except (wire.Refused, OSError) as refused:
                for kind, payload in wire.refusal(refused):
                    client.put(kind, payload)
                client.writer.join()
                return
            channel = next(self.channels)
            with self.lock:
                self.clients[channel] = client
            self.send_to_guest(channel, wire.REQUEST, json.dumps(request).encode())
            # The client sends nothing after its request: this returns when it closes, or when
            # its EXIT frame has been written and the connection shut.
            with contextlib.suppress(OSError):
                connection.recv(1)
            with self.lock:
                gone_first = self.clients.pop(channel, None) is not None
            if gone_first:
                self.send_to_guest(channel, wire.HANGUP, b"")
                client.put(None, b"")
            client.writer.join()

    def send_to_guest(self, channel, kind, payload):
        wire.Sender(self.write_to_guest, channel).send(kind, payload)

    def write_to_guest(self, frame):
        with self.guest_lock:
            self.guest.sendall(frame)

    def from_guest(self):
        while True:
            frame = wire.receive_on_channel(self.guest.recv)
            if frame is None:
                return
            channel, kind, payload = frame
            with self.lock:
                client = (self.clients.pop(channel, None) if kind == wire.EXIT
                          else self.clients.get(channel))
            if client is not None:
                client.put(kind, payload)
