#!/usr/bin/python3
"""What another account on the machine tries against a running VM, run as that account by
vm_test.py: at each endpoint, a command of its own (which would make a marker file), a
power-off, and a replay of the owner's own request, each on a connection of its own.

    intruder.py < {"endpoints": ["unix:PATH" | "tcp:HOST:PORT", ...], "marker": PATH,
                   "replay": "the owner's request line"}

Prints one line of JSON: for each endpoint and attempt, what it got: the error that refused the
connection, or every byte that came back.
"""
import contextlib
import json
import socket
import sys

ANSWER_SECONDS = 10


def attempt(endpoint, line):
    kind, _, address = endpoint.partition(":")
    if kind == "unix":
        connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    else:
        host, _, port = address.rpartition(":")
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        address = (host, int(port))
    connection.settimeout(ANSWER_SECONDS)
    with connection:
        try:
            connection.connect(address)
        except OSError as error:
            return f"connect: {type(error).__name__}"
        # A refusal may come before the request is read: what came back counts, whether or not
        # the request could be sent whole.
        with contextlib.suppress(OSError):
            connection.sendall(line)
        # A peer that closes on a request it did not read resets the connection once its answer
        # has been read.
        answer = b""
        try:
            for chunk in iter(lambda: connection.recv(65536), b""):
                answer += chunk
        except OSError as error:
            if not answer:
                return f"no answer: {type(error).__name__}"
        return repr(answer)


def main():
    plan = json.load(sys.stdin)
    own_command = {"argv": ["touch", plan["marker"]], "cwd": "/", "env": {}}
    lines = {"command": json.dumps(own_command).encode() + b"\n",
             "poweroff": b'{"poweroff": true}\n',
             "replay": plan["replay"].encode()}
    print(json.dumps({endpoint: {name: attempt(endpoint, line) for name, line in lines.items()}
                      for endpoint in plan["endpoints"]}))


if __name__ == "__main__":
    main()
