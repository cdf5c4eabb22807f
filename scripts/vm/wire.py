"""The frames that carry a command's output from the guest's agent to the host: a kind byte,
the payload's length (4 bytes, big-endian), the payload."""
import struct
import threading

GUEST_PORT = 7000
STDOUT, STDERR, HEARTBEAT, EXIT = b"o", b"e", b"h", b"x"
# The agent says it is alive this often while a command runs; the host gives up on a guest
# that has said nothing for several of these.
HEARTBEAT_SECONDS = 5
HEADER = struct.Struct(">cI")


class Sender:
    """Frames from several threads, one whole frame at a time. A host that has gone is not an
    error here: the command is killed by the agent's watcher."""

    def __init__(self, connection):
        self.connection = connection
        self.lock = threading.Lock()

    def send(self, kind, payload):
        with self.lock:
            try:
                self.connection.sendall(HEADER.pack(kind, len(payload)) + payload)
            except OSError:
                pass


def receive(connection):
    """(kind, payload) of the next frame; None where the connection ended."""
    header = read_exactly(connection, HEADER.size)
    if header is None:
        return None
    kind, length = HEADER.unpack(header)
    payload = read_exactly(connection, length)
    return None if payload is None else (kind, payload)


def read_exactly(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data
