#!/usr/bin/python3
"""The signed release under Wine: the exe does its job and the package installs it."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

import release_run as run
from release_run import made_release, package_of, read


class SignedExeUnderWine(unittest.TestCase):
    """The signed exe still does its job, and the signed package installs it: end-to-end
    cases, in the win32 prefix that the end-to-end tests made."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = os.environ["MKVTYPE_WINE_PREFIX"]
        cls.probe = os.environ["MKVTYPE_REGPROBE"]
        cls.zip = made_release("signed")
        cls.exe = os.path.join(tempfile.mkdtemp(dir=run.WORK), "mkvtype.exe")
        with open(cls.exe, "wb") as file:
            file.write(read(cls.zip, "mkvtype.exe"))
        sys.path.insert(0, os.path.join(run.CHECKOUT, "tests", "e2e"))
        import wine_cases
        wine_cases.keep_to_the_prefixs_cpu(cls.prefix)

    def test_does_its_job(self):
        import wine_cases
        with contextlib.redirect_stdout(io.StringIO()) as said:
            wine_cases.run(self.prefix, "PlayerInstalledClassMissing", self.exe, self.probe)
        self.assertIn("registry as expected", said.getvalue())

    def test_signed_package_installs(self):
        import package_cases
        with contextlib.redirect_stdout(io.StringIO()) as said:
            package_cases.run(self.prefix, "InstallWithThePlayer", self.exe, self.probe,
                              os.environ["MKVTYPE_MSIPROBE"], {"1.0.0.0": package_of(self.zip)})
        self.assertIn("as expected", said.getvalue())


if __name__ == "__main__":
    run.main()
