#!/usr/bin/python3
"""The Windows Installer package under Wine's own Windows Installer, in each prefix: each case
installs, repairs, upgrades or removes packages built from the tested mkvtype.exe by the
release's own packaging script, and then checks the outcome itself, never a status alone: the
tool's entries in the registry, what Windows Installer has registered, and the installed file.
The installer's status is read in full by msiprobe.exe (the wine launcher cuts it to 8 bits).

    package_cases.py list
    package_cases.py run PREFIX CASE EXE PROBE MSIPROBE
"""
import collections
import glob
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import wine_cases  # noqa: E402
from releasekit import package  # noqa: E402
from wine_cases import (CLASS, CLASS_NAME, DESCRIPTIONS, EVERY_ENTRY, TYPES,  # noqa: E402
                        expected_state, is_64_bit, player, probe, read_state, reset_registry)

OLDER, NEWER = "1.0.0.0", "1.0.1.0"
SUCCESS, INSTALL_FAILURE = 0, 1603
# Deletes the tool's entries, so that only a later run of the tool can bring them back.
# The packages' date: any fixed one.
PACKAGE_DATE = 1767323046
FORGET_ENTRIES = [f"delete 32 {DESCRIPTIONS} 76", f"delete 32 {TYPES} 76", f"delete 32 {CLASS}"]


# A case: regprobe's commands before the first step; its steps, (step, version, expected
# status) in order; the tool's entries in place at the end, beside the starting state; the
# version installed at the end, if any.
Case = collections.namedtuple("Case", "name setup steps lands registered", defaults=(None,))


def install(version, status=SUCCESS):
    return ("install", version, status)


CASES = [
    Case("InstallWithThePlayer", player(), [install(OLDER)], EVERY_ENTRY, OLDER),
    Case("InstallWithoutThePlayer", [], [install(OLDER)], (CLASS_NAME,), OLDER),
    Case("RepairRunsTheToolAgain", player(),
         [install(OLDER), ("forget entries", None, None), ("repair", OLDER, SUCCESS)],
         EVERY_ENTRY, OLDER),
    # Removal takes off the package's file and registration, and never runs the tool.
    Case("RemoveByPackage", player(),
         [install(OLDER), ("forget entries", None, None), ("remove by package", OLDER, SUCCESS)],
         ()),
    Case("RemoveByProductCodeKeepsTheEntries", player(),
         [install(OLDER), ("remove by product code", OLDER, SUCCESS)], EVERY_ENTRY),
    Case("UpgradeReplacesTheOlderVersion", player(),
         [install(OLDER), ("forget entries", None, None), install(NEWER)], EVERY_ENTRY, NEWER),
    Case("DowngradeIsRefused", player(),
         [install(NEWER), ("forget entries", None, None), install(OLDER, INSTALL_FAILURE)], (),
         NEWER),
    Case("PerUserInstallIsRefused", player(), [("install per user", OLDER, INSTALL_FAILURE)], ()),
]


def upgrade_code():
    return package.braced(package.upgrade_code())


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def installed_exe(prefix):
    folder = "Program Files (x86)" if is_64_bit(prefix) else "Program Files"
    return os.path.join(prefix, "drive_c", folder, "mkvtype", "mkvtype.exe")


def forget_installs(prefix, tools):
    """Takes off whatever an earlier case installed: each product of the upgrade code, by its
    own removal, then anything left of the program and the cached packages."""
    for line in msiprobe(prefix, tools["msiprobe"], "related", upgrade_code()):
        code = line.split()[1]
        status = msiexec(prefix, tools["msiprobe"], f"/x {code}", prefix + ".removal.log")
        assert status == SUCCESS, f"removing {code} left over from an earlier case: {status}"
    for folder in ("Program Files", "Program Files (x86)"):
        shutil.rmtree(os.path.join(prefix, "drive_c", folder, "mkvtype"), ignore_errors=True)
    for cached in glob.glob(os.path.join(prefix, "drive_c", "windows", "Installer", "*.msi")):
        os.remove(cached)


def msiprobe(prefix, exe, *args):
    return probe(prefix, exe, args).splitlines()


def msiexec(prefix, msiprobe_exe, arguments, log):
    said = msiprobe(prefix, msiprobe_exe, "run", f"msiexec {arguments} /qn /l*v "
                    f"{windows_path(log)}")
    return int(said[-1].split()[1])


def run_step(prefix, tools, packages, step, version, log):
    msi = windows_path(packages[version]) if version else None
    arguments = {
        "install": f"/i {msi}",
        "install per user": f'/i {msi} ALLUSERS=""',
        "repair": f"/i {msi} REINSTALL=ALL REINSTALLMODE=vamus",
        "remove by package": f"/x {msi}",
        "remove by product code": f"/x {package.product_code(version) if version else ''}",
    }
    if step == "forget entries":
        probe(prefix, tools["probe"], FORGET_ENTRIES)
        return None
    return msiexec(prefix, tools["msiprobe"], arguments[step], log)


def run(prefix, case_name, exe, probe_exe, msiprobe_exe, packages=None):
    """Runs the case with packages built from `exe`, or with `packages`, {version: path}."""
    case = next(c for c in CASES if c.name == case_name)
    tools = {"probe": probe_exe, "msiprobe": msiprobe_exe}
    forget_installs(prefix, tools)
    before = reset_registry(prefix, probe_exe, case.setup, read=True)
    with tempfile.TemporaryDirectory(prefix="mkvtype-package-cases-") as work:
        if packages is None:
            packages = {}
            for version in {version for _, version, _ in case.steps if version}:
                packages[version] = os.path.join(work, package.package_name(version))
                package.build(exe, version, PACKAGE_DATE, packages[version])
        for number, (step, version, status) in enumerate(case.steps, 1):
            log = os.path.join(work, f"step-{number}.log")
            found = run_step(prefix, tools, packages, step, version, log)
            if found != status:
                with open(log, encoding="utf-16", errors="replace") as file:
                    said = file.read()[-3000:] if os.path.exists(log) else ""
                raise AssertionError(f"{case_name}, step {number} ({step} {version}): status "
                                     f"{found}, not {status}\n{said}")
        check_outcome(prefix, case, before, tools, packages, exe)
    print(f"{case_name}: entries, registration and files as expected")


def check_outcome(prefix, case, before, tools, packages, exe):
    after = read_state(prefix, tools["probe"])
    expected = expected_state(before, case, is_64_bit(prefix))
    assert after == expected, (f"registry differs\nexpected:\n{wine_cases.describe(expected)}\n"
                               f"found:\n{wine_cases.describe(after)}")

    versions = sorted(packages)
    said = msiprobe(prefix, tools["msiprobe"], "related", upgrade_code(),
                    *(word for version in versions
                      for word in ("product", package.product_code(version))))
    related = [line for line in said if line.startswith("related ")]
    registered = [f"related {package.product_code(case.registered)}"] if case.registered else []
    assert related == registered, f"registered {related}, not {registered}"
    states = said[len(related):]
    wanted = [f"state 5 version {version}" if version == case.registered
              else "state -1 version -"  # installed for all users, or unknown
              for version in versions]
    assert states == wanted, f"{versions}: {states}, not {wanted}"

    installed = installed_exe(prefix)
    if case.registered:
        with open(installed, "rb") as file, open(exe, "rb") as built:
            assert file.read() == built.read(), f"{installed} is not the built exe"
    else:
        assert not os.path.exists(os.path.dirname(installed)), f"{installed} is still there"


if __name__ == "__main__":
    wine_cases.table_main(sys.argv, __doc__, CASES, run, 5)
