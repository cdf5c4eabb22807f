"""The release's steps run their tools here, each in a process group of its own, so that an
interrupt stops a step whole: a build's compilers, osslsigncode waiting on a time-stamp
authority, wixl. A tool left in the caller's group would take Ctrl-C, but SIGTERM sent to the
release alone would reach none of them."""
import os
import signal
import subprocess

# The exit status and the word for each signal that stops a step.
STOPPED_BY = {signal.SIGINT: (130, "interrupted"), signal.SIGTERM: (143, "stopped")}
# While a tool is being started, the signals that came meanwhile: raised then, they would leave
# the new process running with nothing left to stop it. None at other times.
_held = None


class Interrupted(BaseException):
    """Ctrl-C or SIGTERM: a BaseException, so that no step takes it for a failure of its own."""

    def __init__(self, signal_number):
        super().__init__(signal.Signals(signal_number).name)
        self.status, self.stopped_by = STOPPED_BY[signal_number]


def stop_on_signals():
    """From now on Ctrl-C and SIGTERM raise Interrupted, once: the clean-up that follows is not
    cut short by a second one."""
    def interrupted(signal_number, _frame):
        ignore_signals()
        if _held is not None:
            _held.append(signal_number)
            return
        raise Interrupted(signal_number)

    for number in STOPPED_BY:
        signal.signal(number, interrupted)


def ignore_signals():
    for number in STOPPED_BY:
        signal.signal(number, signal.SIG_IGN)


def run(command, *, input=None, timeout=None, **options):
    """subprocess.run's result, for a command run in a process group of its own. The group is
    stopped whole when the time runs out (the result then has the status of a stopped
    command) or when anything, Interrupted among them, ends the wait."""
    if input is not None:
        options["stdin"] = subprocess.PIPE
    with _started(command, options) as process:
        try:
            stdout, stderr = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired:
            _stop(process)
            stdout, stderr = process.communicate()
        except BaseException:
            _stop(process)
            raise
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


def _started(command, options):
    """The running tool, or Interrupted where a signal came while it was being started, once
    it has been stopped."""
    global _held
    _held = []
    try:
        process = subprocess.Popen(command, start_new_session=True, **options)
    except OSError:
        if _held:
            raise Interrupted(_held[0]) from None
        raise
    finally:
        came, _held = _held, None
    if came:
        with process:
            _stop(process)
        raise Interrupted(came[0])
    return process


def _stop(process):
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    process.wait()
