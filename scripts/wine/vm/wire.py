"""What the host and the guest's agent say to each other, and which requests are taken.

A client on the host (`vm.py run`, and `start`'s and `stop`'s short requests) connects to the
keeper's socket, sends one request as a line of JSON, and gets frames back: a kind byte, the
payload's length (4 bytes, big-endian), the payload. The keeper relays each client's request to
the guest over one virtio-serial port, as a frame that also carries the client's channel number
(4 bytes before the kind), and the guest's frames for that channel back to the client.

The requests, the only ones either side takes:
  {"argv": [...], "cwd": "/...", "env": {...}}  runs the command: its output as it comes, a
                                                heartbeat while it runs, then its exit status
  {"ping": true}                                answers, once the guest is up
  {"poweroff": true}                            ends the agent, and with it the guest
"""
import json
import struct
import threading

STDOUT, STDERR, HEARTBEAT, EXIT = b"o", b"e", b"h", b"x"
# From the keeper to the guest only: a client's request, and the word that its client has gone.
REQUEST, HANGUP = b"r", b"c"
# The agent says it is alive this often while a command runs; the host gives up on a guest
# that has said nothing for several of these.
HEARTBEAT_SECONDS = 5
HEADER = struct.Struct(">cI")
CHANNEL_HEADER = struct.Struct(">IcI")
# A command's request is its arguments and environment: a few kilobytes. Anything near this is
# no request of ours, and is refused unread.
REQUEST_LIMIT = 1 << 20
# The status of a request that ran nothing, as of any failure on the way into the VM.
REFUSED = 125


class Refused(Exception):
    """A request that runs nothing: the message says why, in a few words."""


def parse_request(line):
    """The request that the line holds, checked field by field; Refused where it is not one."""
    if len(line) > REQUEST_LIMIT:
        raise Refused(f"the request is larger than {REQUEST_LIMIT} bytes")
    try:
        request = json.loads(line)
    except ValueError:  # UnicodeDecodeError included
        raise Refused("the request is not JSON") from None
    if request in ({"ping": True}, {"poweroff": True}):
        return request
    if not isinstance(request, dict) or set(request) != {"argv", "cwd", "env"}:
        raise Refused("the request is not a command (argv, cwd, env), a ping or a power-off")
    argv, cwd, env = request["argv"], request["cwd"], request["env"]
    if not (isinstance(argv, list) and argv and all(map(plain_text, argv))):
        raise Refused("argv is not a list of one or more texts")
    if not (plain_text(cwd) and cwd.startswith("/")):
        raise Refused("cwd is not an absolute path")
    if not (isinstance(env, dict) and all(plain_text(name) and name and "=" not in name
                                          and plain_text(value)
                                          for name, value in env.items())):
        raise Refused("env is not a map of variable names to texts")
    return request


def plain_text(text):
    """A text that a program's argument, folder or environment can hold."""
    return isinstance(text, str) and "\0" not in text


def refusal(reason):
    """The frames that answer a refused request: one line, and the status REFUSED."""
    return [(STDERR, f"mkvtype-vm: refused: {reason}\n".encode()), (EXIT, str(REFUSED).encode())]


class Sender:
    """Frames from several threads, one whole frame at a time, through `write(bytes)`, with the
    channel's number where it is given. A peer that has gone is not an error here: its command
    is ended another way."""

    def __init__(self, write, channel=None):
        self.write = write
        self.channel = channel
        self.lock = threading.Lock()

    def send(self, kind, payload):
        if self.channel is None:
            frame = HEADER.pack(kind, len(payload)) + payload
        else:
            frame = CHANNEL_HEADER.pack(self.channel, kind, len(payload)) + payload
        with self.lock:
            try:
                self.write(frame)
            except OSError:
                pass


def receive(read):
    """(kind, payload) of the next frame; None where the stream ended."""
    header = read_exactly(read, HEADER.size)
    if header is None:
        return None
    kind, length = HEADER.unpack(header)
    payload = read_exactly(read, length)
    return None if payload is None else (kind, payload)


def receive_on_channel(read, limit=None):
    """(channel, kind, payload) of the next frame; None where the stream ended or the frame
    is longer than `limit`."""
    header = read_exactly(read, CHANNEL_HEADER.size)
    if header is None:
        return None
    channel, kind, length = CHANNEL_HEADER.unpack(header)
    if limit is not None and length > limit:
        return None
    payload = read_exactly(read, length)
    return None if payload is None else (channel, kind, payload)


def read_exactly(read, size):
    """`size` bytes from `read(n)` (a socket's recv, or os.read on a file); None where the
    stream ends first."""
    data = b""
    while len(data) < size:
        chunk = read(size - len(data))
        if not chunk:
            return None
        data += chunk
    return data
