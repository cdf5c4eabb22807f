#!/usr/bin/python3
"""An interrupted release stops everything it started and leaves nothing behind."""
import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import release_run as run
from release_run import script, signed_by_pem


class Interrupted(unittest.TestCase):
    """Ctrl-C (SIGINT to the whole process group) or SIGTERM to release.sh alone, while
    osslsigncode waits for a time-stamp authority that never answers: the run stops everything
    it started and leaves nothing behind."""

    def test_stops_everything_and_leaves_nothing(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)  # takes connections, never answers
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/"
        try:
            for name, stop in (("Ctrl-C", lambda p: os.killpg(p.pid, signal.SIGINT)),
                               ("SIGTERM", lambda p: p.send_signal(signal.SIGTERM))):
                with self.subTest(name):
                    self.check_interrupted(url, stop)
        finally:
            silent.close()

    def check_interrupted(self, url, stop):
        temporary = tempfile.mkdtemp(dir=run.WORK, prefix="tmp-")
        output = os.path.join(tempfile.mkdtemp(dir=run.WORK), "dist")
        env = {**os.environ, "TMPDIR": temporary}
        process = subprocess.Popen(
            [script("release.sh"), *signed_by_pem("--timestamp", url), "--output", output],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        try:
            self.assertTrue(wait_for(lambda: processes_using(temporary, "osslsigncode"), 60),
                            "osslsigncode never started")
            stop(process)
            _, stderr = process.communicate(timeout=20)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
        self.assertNotEqual(process.returncode, 0)
        self.assertEqual(len(stderr.splitlines()), 1, stderr)
        self.assertTrue(wait_for(lambda: not processes_using(temporary), 10),
                        f"still running: {processes_using(temporary)}")
        self.assertEqual(os.listdir(temporary), [], "nothing left in the temporary folder")
        self.assertFalse(os.path.exists(output) and os.listdir(output), "nothing written")


def processes_using(path, program=""):
    """The command lines of running processes that name `path` (and `program`)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                line = file.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if path in line and program in line and int(pid) != os.getpid():
            found.append(line)
    return found


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


if __name__ == "__main__":
    run.main()
