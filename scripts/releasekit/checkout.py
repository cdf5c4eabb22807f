"""The checkout that a release is made from, or checked against: its commit, never its
working tree."""
import os
import subprocess


def git(root, *arguments):
    return subprocess.run(["git", "-C", root, *arguments], capture_output=True, text=True,
                          check=False)


def is_its_own(root):
    """Whether `root` is the top of a git checkout: a tree inside another repository would
    take that repository's commit."""
    top = git(root, "rev-parse", "--show-toplevel")
    return top.returncode == 0 and os.path.samefile(top.stdout.rstrip("\n"), root)


def head(root):
    """The commit `root` has checked out and its time, which is the time of every file the
    release holds; None where it has no commit."""
    commit = git(root, "rev-parse", "--verify", "HEAD")
    if commit.returncode != 0:
        return None
    return commit.stdout.strip(), int(git(root, "log", "-1", "--format=%ct", "HEAD").stdout)
