#!/usr/bin/python3
"""Builds mkvtype.exe from a copy of a checkout, in a fresh folder, so that nothing a build left
in the checkout reaches it. A release's copy is the checkout's commit (HEAD) alone:
uncommitted changes stay out.

    build.py [--commit] SOURCE_DIR COPY_DIR    prints the built exe's path; what the build
                                               says goes to stderr
"""
import os
import subprocess
import sys

if __name__ == "__main__":  # run as a script: its package is found from scripts/, not beside it
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from releasekit import processes  # noqa: E402


class Failed(Exception):
    """Which part of the build failed; what it said is in the build's log."""


def build(source, copy, log, commit=False):
    """Copies `source` (its commit, with `commit`) to the new folder `copy` and builds the exe
    there with the windows preset; returns the exe's path. The tools write to `log`, a file."""
    os.makedirs(copy, exist_ok=True)
    if commit:
        packed = ["git", "-C", source, "archive", "--format=tar", "HEAD"]
    else:
        packed = ["tar", "-C", source, "--exclude=./build", "--exclude=./dist", "--exclude=./.git",
                  "-cf", "-", "."]
    tree = _step(packed, "copying the source", log, stdout=subprocess.PIPE).stdout
    _step(["tar", "-C", copy, "-xf", "-"], "unpacking the copy", log, input=tree)
    _step(["cmake", "-S", copy, "--preset", "windows"], "configuring", log)
    _step(["cmake", "--build", os.path.join(copy, "build", "windows"), "--target", "mkvtype"],
          "building", log)
    return os.path.join(copy, "build", "windows", "mkvtype.exe")


def _step(command, what, log, **options):
    options.setdefault("stdout", log)
    result = processes.run(command, stderr=log, **options)
    if result.returncode != 0:
        raise Failed(f"{what} failed (exit status {result.returncode})")
    return result


def main(arguments):
    commit = arguments[:1] == ["--commit"]
    if commit:
        arguments = arguments[1:]
    if len(arguments) != 2:
        sys.exit(__doc__)
    try:
        print(build(*arguments, log=sys.stderr, commit=commit))
    except Failed as failed:
        sys.exit(f"build.py: {failed}")


if __name__ == "__main__":
    main(sys.argv[1:])
