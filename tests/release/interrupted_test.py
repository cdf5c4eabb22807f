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
    osslsigncode waits for a time-stamp authority that never answers, and while a build runs
    that never ends: the run stops everything it started and leaves nothing behind."""

    STOPS = (("Ctrl-C", lambda p: os.killpg(p.pid, signal.SIGINT), 130, "interrupted"),
             ("SIGTERM", lambda p: p.send_signal(signal.SIGTERM), 143, "stopped"))

    def test_while_osslsigncode_waits_for_a_time_stamp(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)  # takes connections, never answers
        self.addCleanup(silent.close)
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/"
        self.check_each_stop(signed_by_pem("--timestamp", url), os.environ, "osslsigncode")

    def test_while_the_build_runs(self):
        """The build's tools are the children of cmake: they must stop with it."""
        tools = tempfile.mkdtemp(dir=run.WORK)
        with open(os.path.join(tools, "cmake"), "w") as file:
            file.write("#!/bin/sh\n/usr/bin/python3 -c 'import time; time.sleep(600)' "
                       'never-ending-build "$@"\n')
        os.chmod(os.path.join(tools, "cmake"), 0o755)
        env = {**os.environ, "PATH": f"{tools}:{os.environ['PATH']}"}
        self.check_each_stop([], env, "never-ending-build")

    def check_each_stop(self, args, env, waited_for):
        for name, stop, status, stopped in self.STOPS:
            with self.subTest(name):
                self.check_interrupted(args, env, waited_for, stop, status, stopped)

    def check_interrupted(self, args, env, waited_for, stop, status, stopped):
        temporary = tempfile.mkdtemp(dir=run.WORK, prefix="tmp-")
        output = os.path.join(tempfile.mkdtemp(dir=run.WORK), "dist")
        process = subprocess.Popen(
            [script("release.sh"), *args, "--output", output], env={**env, "TMPDIR": temporary},
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        try:
            self.assertTrue(wait_for(lambda: processes_using(temporary, waited_for), 60),
                            f"{waited_for} never started")
            stop(process)
            _, stderr = process.communicate(timeout=20)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
        self.assertEqual((process.returncode, stderr),
                         (status, f"release.sh: {stopped}; nothing was written\n"))
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
