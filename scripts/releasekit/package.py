"""Builds mkvtype's Windows Installer package from an exe with wixl: the same bytes from the
same exe, version and date, whenever, wherever and in whatever locale it is built.

wixl stamps the summary information with the time of the build and a random package code.
It runs on a clock stopped at the given time (libfaketime's absolute time, which does not
tick: a clock set going then would read a second later on a busy machine), and the package code
is then derived from the package's own bytes: two different packages never share one, the same
bytes always have the same. Anything wixl says (it is lenient, and says what it ignored) fails
the build.
"""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
import uuid

from releasekit import processes

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = os.path.join(ROOT, "release", "mkvtype.wxs")
UNSET_PACKAGE_CODE = "{00000000-0000-0000-0000-000000000000}"


class Failed(Exception):
    """Why the package could not be built, as one line."""


def upgrade_code(source=SOURCE):
    with open(source, encoding="utf-8") as file:
        return uuid.UUID(re.search(r'UpgradeCode="([0-9A-Fa-f-]{36})"', file.read()).group(1))


def product_code(version, source=SOURCE):
    """One product code for each version, known before any package is built, for detection
    rules."""
    return braced(uuid.uuid5(upgrade_code(source), f"mkvtype {version} product"))


def braced(code):
    return "{" + str(code).upper() + "}"


def package_name(version):
    return f"mkvtype-{version}-x86.msi"


def _run(command, epoch, cwd):
    moment = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(int(epoch)))
    env = {**os.environ, "LC_ALL": "C", "TZ": "UTC"}
    result = processes.run(["faketime", "-f", moment, *command], cwd=cwd, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           errors="replace")
    said = (result.stdout + result.stderr).strip()
    if result.returncode != 0 or said:
        raise Failed(f"{os.path.basename(command[0])} {'failed' if result.returncode else 'warned'}"
                     f": {' / '.join(said.splitlines()) or f'exit status {result.returncode}'}")


def build(exe, version, epoch, out, root=ROOT):
    """Writes the package of `exe` to `out`, from the WiX source and icon of the checkout at
    `root`; returns its package code."""
    source = os.path.join(root, "release", "mkvtype.wxs")
    # wixl finds files only by names relative to the source's folder: all of them are copied
    # into one, with the date of the release.
    with tempfile.TemporaryDirectory(prefix="mkvtype-package-") as work:
        inputs = {"Exe": (exe, "mkvtype.exe"),
                  "Icon": (os.path.join(root, "app", "icon", "mkvtype.ico"), "mkvtype.ico")}
        defines = ["-D", f"Version={version}", "-D", f"ProductCode={product_code(version, source)}"]
        for name, (path, copy) in inputs.items():
            defines += ["-D", f"{name}={copy}"]
        for path, copy in [*inputs.values(), (source, "mkvtype.wxs")]:
            shutil.copyfile(path, os.path.join(work, copy))
            os.utime(os.path.join(work, copy), (int(epoch), int(epoch)))
        package = os.path.join(work, "package.msi")
        _run(["wixl", "--arch", "x86", *defines, "--output", "package.msi", "mkvtype.wxs"], epoch,
             work)

        def summary(code):
            _run(["msibuild", "package.msi", "-s", "mkvtype", "The mkvtype authors", "Intel;1033",
                  code], epoch, work)

        summary(UNSET_PACKAGE_CODE)
        with open(package, "rb") as file:
            digest = hashlib.sha256(file.read()).hexdigest()
        code = braced(uuid.uuid5(upgrade_code(source), f"mkvtype package {digest}"))
        summary(code)
        shutil.copyfile(package, out)
    return code

