"""What the release tests share: the checkout each test process makes of the tree under test,
release.sh and verify-release.sh run there, the releases that several suites only read, and
ways to read a zip and a package. Each test file is run as

    FILE_test.py SOURCE_DIR [unittest arguments, such as a class name]
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from throwaway import URL, Keys, TimeStampAuthority

FOLDER = "mkvtype-1.0.0.0"
ZIP_NAME = "mkvtype-1.0.0.0-x86.zip"
PACKAGE_NAME = "mkvtype-1.0.0.0-x86.msi"
# The codes the README gives administrators for their detection rules.
PRODUCT_CODE = "{57E4A6B5-5E5E-5673-BEB5-EEB89642B12E}"
UPGRADE_CODE = "{EE9D09E6-4A27-4163-B0B8-28956D65F387}"
# The time of the one commit of a test checkout, as git takes it and as seconds.
COMMIT_TIME, COMMIT_EPOCH = "2026-01-02T03:04:06Z", 1767323046
FILES = ["BUILDINFO", "LICENSE", "README.txt", "SHA256SUMS", "check-entries.cmd", "mkvtype.exe"]

# The tree under test and its build, given on the command line (see main).
SOURCE = BUILT_EXE = None
# What setUpModule makes for a test process.
WORK = KEYS = TSA = CHECKOUT = RELEASES = None


def git(*args, cwd):
    """git with a fixed identity and time, so that the same tree gives the same commit."""
    env = {**os.environ, "GIT_AUTHOR_DATE": COMMIT_TIME, "GIT_COMMITTER_DATE": COMMIT_TIME}
    return subprocess.run(["git", "-c", "user.name=mkvtype tests", "-c",
                           "user.email=tests@mkvtype.test", "-c", "init.defaultBranch=main",
                           *args], cwd=cwd, env=env, check=True, capture_output=True,
                          text=True).stdout


def copy_tree(folder):
    """The source tree as it is now, committed or not, less what git ignores."""
    listed = git("ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=SOURCE)
    for name in filter(None, listed.split("\0")):
        source = os.path.join(SOURCE, name)
        if os.path.isfile(source):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            shutil.copy2(source, os.path.join(folder, name))


def make_checkout(folder):
    """A checkout of its own whose one commit is the source tree as it is now: release.sh
    builds only what is committed, and the tests are to run the scripts under test."""
    copy_tree(folder)
    git("init", "-q", cwd=folder)
    git("add", "-A", cwd=folder)
    git("commit", "-q", "-m", "The tree under test", cwd=folder)
    return folder


def setUpModule():
    """Keys come from MKVTYPE_RELEASE_KEYS, made once for a test run (shared_test.py's
    MakeKeys), or are made here; so do the releases that several suites read
    (MKVTYPE_RELEASES, MakeReleases)."""
    global WORK, KEYS, TSA, CHECKOUT, RELEASES
    WORK = tempfile.mkdtemp(prefix="mkvtype-release-test-")
    KEYS = Keys(os.environ.get("MKVTYPE_RELEASE_KEYS") or os.path.join(WORK, "keys"))
    RELEASES = os.environ.get("MKVTYPE_RELEASES") or os.path.join(WORK, "releases")
    os.makedirs(os.path.join(WORK, "tsa"))
    TSA = TimeStampAuthority(KEYS, os.path.join(WORK, "tsa"))
    CHECKOUT = make_checkout(os.path.join(WORK, "checkout"))


def script(name, checkout=None):
    return os.path.join(checkout or CHECKOUT, "scripts", name)


def tearDownModule():
    TSA.stop()
    shutil.rmtree(WORK, ignore_errors=True)


def release(*args, password=None, output=None, checkout=None, env=None):
    """Runs release.sh into a new folder; returns (result, output folder)."""
    output = output or tempfile.mkdtemp(dir=WORK, prefix="dist-")
    env = {k: v for k, v in (env or os.environ).items() if k != "MKVTYPE_SIGN_PASSWORD"}
    if password is not None:
        env["MKVTYPE_SIGN_PASSWORD"] = password
    result = subprocess.run([script("release.sh", checkout), *args, "--output", output], env=env,
                            capture_output=True, text=True, check=False)
    return result, output


def signed_by_pem(*more, signer="signer"):
    """release.sh's arguments for signing with a PEM certificate and key."""
    return ["--cert", getattr(KEYS, f"{signer}_pem"), "--key", getattr(KEYS, f"{signer}_key"),
            "--url", URL, *more]


def make_release(*args, password=None, checkout=None, env=None, output=None):
    result, output = release(*args, password=password, checkout=checkout, env=env, output=output)
    assert result.returncode == 0, result.stderr
    path = os.path.join(output, ZIP_NAME)
    assert result.stdout.splitlines()[-2:] == [os.path.join(output, PACKAGE_NAME), path], \
        result.stdout
    return path


# The releases that suites share, only to read: release.sh's arguments for each.
SHARED_RELEASES = {"unsigned": lambda: [],
                   "signed": lambda: signed_by_pem("--timestamp", TSA.url)}


def made_release(kind):
    """The zip of a shared release (its package beside it), as release.sh made it from this
    tree: once for a test run, by MakeReleases, or here when it has not been made."""
    folder = os.path.join(RELEASES, kind)
    if not os.path.exists(os.path.join(folder, "made")):
        shutil.rmtree(folder, ignore_errors=True)
        make_release(*SHARED_RELEASES[kind](), output=folder)
        with open(os.path.join(folder, "made"), "w"):
            pass
    return os.path.join(folder, ZIP_NAME)


def package_of(zip_path):
    """The package release.sh made beside the zip."""
    return os.path.join(os.path.dirname(zip_path), PACKAGE_NAME)


def msi_table(path, table):
    """The rows of a table of the package, as msiinfo exports them: {first column: rest}. It
    writes a table's binary data (the Icon table's icon) to files in the folder it runs in:
    one of its own, not the tests'."""
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        exported = subprocess.run(["msiinfo", "export", path, table], cwd=folder,
                                  capture_output=True, text=True,
                                  check=True).stdout.splitlines()[3:]
    return {row.split("\t")[0]: row.split("\t")[1:] for row in exported}


def packaged_exe(path):
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        subprocess.run(["msiextract", "-C", folder, path], check=True, capture_output=True)
        with open(os.path.join(folder, "Program Files", "mkvtype", "mkvtype.exe"), "rb") as file:
            return file.read()


def verify(*args, checkout=None):
    """Runs verify-release.sh on a zip or a package, with more arguments where given."""
    return subprocess.run([script("verify-release.sh", checkout), *args],
                          capture_output=True, text=True, check=False)


def contents(path):
    with open(path, "rb") as file:
        return file.read()


def read(zip_path, name):
    with zipfile.ZipFile(zip_path) as archive:
        return archive.read(f"{FOLDER}/{name}")


def package_code(summary):
    """The package code, from what `msiinfo suminfo` says."""
    return re.search(r"Revision number \(UUID\): (\S+)", summary).group(1)


def main():
    global SOURCE, BUILT_EXE
    SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
    BUILT_EXE = os.path.join(SOURCE, "build", "windows", "mkvtype.exe")
    # The test file's suites share this module's set-up and clean-up.
    test_file = sys.modules["__main__"]
    test_file.setUpModule, test_file.tearDownModule = setUpModule, tearDownModule
    unittest.main(module="__main__", verbosity=2)
