#!/usr/bin/python3
"""The release's tools stop whole when the release is interrupted, whenever the signal comes:
while a tool runs, and while it is still being started, before there is a handle to stop it
by. No checkout needed: the tools here are sleepers of this test's own."""
import os
import signal
import subprocess
import sys
import threading
import time
import unittest
import uuid
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))
from releasekit import processes  # noqa: E402

REAL_POPEN = subprocess.Popen


def sleepers(marker):
    """The processes of this test's sleeper named by `marker`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                if marker.encode() in file.read():
                    found.append(int(pid))
        except OSError:
            continue
    return found


class StoppedWhole(unittest.TestCase):
    def setUp(self):
        for number in processes.STOPPED_BY:
            self.addCleanup(signal.signal, number, signal.getsignal(number))

    def check_stopped(self, number, signal_comes):
        processes.stop_on_signals()  # again: the first signal leaves both ignored
        marker = f"mkvtype-sleeper-{uuid.uuid4()}"
        sleeper = ["/usr/bin/python3", "-c", "import time; time.sleep(60)", marker]
        with signal_comes(number), self.assertRaises(processes.Interrupted) as raised:
            processes.run(sleeper)
        self.assertEqual(raised.exception.status, processes.STOPPED_BY[number][0])
        deadline = time.monotonic() + 5
        while sleepers(marker) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(sleepers(marker), [], "the tool outlived the release")

    def test_each_signal_whenever_it_comes(self):
        for number in processes.STOPPED_BY:
            for when, signal_comes in (("while it runs", comes_while_it_runs),
                                       ("while it is being started", comes_while_it_starts)):
                with self.subTest(signal=signal.Signals(number).name, when=when):
                    self.check_stopped(number, signal_comes)


def comes_while_it_runs(number):
    timer = threading.Timer(0.5, os.kill, (os.getpid(), number))
    timer.start()
    return Joined(timer)


def comes_while_it_starts(number):
    """The signal arrives just after the tool's process exists and before the handle to it
    is returned: where the interrupt is taken then, the tool is left running."""
    def started_then_signalled(*args, **kwargs):
        process = REAL_POPEN(*args, **kwargs)
        os.kill(os.getpid(), number)
        return process
    return mock.patch.object(processes.subprocess, "Popen", side_effect=started_then_signalled)


class Joined:
    def __init__(self, timer):
        self.timer = timer

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.timer.cancel()
        self.timer.join()


if __name__ == "__main__":
    unittest.main(verbosity=2)
