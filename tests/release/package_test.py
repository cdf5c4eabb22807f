#!/usr/bin/python3
"""The Windows Installer package as its tables show it, and that it verifies."""
import os
import subprocess
import tempfile
import unittest

import release_run as run
from doctored import flipped, package_from
from release_run import (PACKAGE_NAME, PRODUCT_CODE, UPGRADE_CODE, made_release, msi_table,
                         package_code, package_of, packaged_exe, read, verify)


class UnsignedPackage(unittest.TestCase):
    """The Windows Installer package as its tables show it. Wine's installer runs actions that
    Windows would refuse to, so where the action sits is read here, not only tried there."""

    @classmethod
    def setUpClass(cls):
        cls.zip = made_release("unsigned")
        cls.package = package_of(cls.zip)

    def test_runs_the_installed_exe_deferred_without_impersonation(self):
        # 18: an exe installed by the package; 1024: deferred; 2048: no impersonation.
        self.assertEqual(msi_table(self.package, "CustomAction")["RunMkvtype"][:3],
                         [str(18 + 1024 + 2048), "mkvtype.exe", ""])

    def test_runs_after_the_files_are_in_place_and_before_the_end_never_on_removal(self):
        sequence = msi_table(self.package, "InstallExecuteSequence")
        place = {action: int(row[1]) for action, row in sequence.items()}
        self.assertLess(place["InstallInitialize"], place["InstallFiles"])
        self.assertLess(place["InstallFiles"], place["RunMkvtype"])
        self.assertLess(place["RunMkvtype"], place["InstallFinalize"])
        self.assertEqual(sequence["RunMkvtype"][0], 'NOT REMOVE~="ALL"')

    def test_installs_for_all_users_only(self):
        properties = msi_table(self.package, "Property")
        self.assertEqual(properties["ALLUSERS"], ["1"])
        self.assertIn("Privileged AND ALLUSERS = 1", msi_table(self.package, "LaunchCondition"))
        self.assertEqual(msi_table(self.package, "Directory")["INSTALLFOLDER"][:2],
                         ["ProgramFilesFolder", "mkvtype"])

    def test_codes_and_add_remove_programs(self):
        properties = {name: row[0] for name, row in msi_table(self.package, "Property").items()}
        expected = {"ProductName": "mkvtype", "ProductVersion": "1.0.0.0",
                    "ProductCode": PRODUCT_CODE, "UpgradeCode": UPGRADE_CODE,
                    "Manufacturer": "The mkvtype authors", "ARPNOMODIFY": "1",
                    "ARPPRODUCTICON": "mkvtype.ico",
                    "ARPCOMMENTS": "Adds Matroska video to Windows Media Player's file types"}
        self.assertEqual({name: properties.get(name) for name in expected}, expected)
        self.assertIn("mkvtype.ico", msi_table(self.package, "Icon"))

    def test_summary_has_the_commits_date_and_a_package_code_of_its_own_bytes(self):
        summary = subprocess.run(["msiinfo", "suminfo", self.package], capture_output=True,
                                 text=True, check=True, env={**os.environ, "TZ": "UTC"}).stdout
        self.assertIn("Created: Fri Jan  2 03:04:06 2026", summary)
        code = package_code(summary)
        self.assertNotIn(code, ("{00000000-0000-0000-0000-000000000000}", PRODUCT_CODE))
        # Another exe makes another package, with another code.
        other = package_from(flipped(run.BUILT_EXE), os.path.join(tempfile.mkdtemp(dir=run.WORK),
                                                               PACKAGE_NAME))
        self.assertNotEqual(package_code(subprocess.run(
            ["msiinfo", "suminfo", other], capture_output=True, text=True, check=True).stdout),
            code)

    def test_holds_the_zips_exe(self):
        self.assertEqual(packaged_exe(self.package), read(self.zip, "mkvtype.exe"))

    def test_verifies(self):
        result = verify(self.package)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(f"product code {PRODUCT_CODE}", result.stdout)
        self.assertIn("package signature: none", result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "verified: every check holds")


if __name__ == "__main__":
    run.main()
