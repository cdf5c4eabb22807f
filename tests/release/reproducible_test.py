#!/usr/bin/python3
"""The same bytes from the same commit, whatever the machine's locale, time zone, file times or
build folder."""
import os
import shutil
import subprocess
import unittest

import release_run as run
from release_run import contents, made_release, make_release, package_of, read


class SameBytesFromTheCommit(unittest.TestCase):
    """The unsigned zip depends on the commit and the build tools alone."""

    @classmethod
    def setUpClass(cls):
        path = made_release("unsigned")
        cls.first = contents(path), contents(package_of(path))

    def assertSameRelease(self, path):
        self.assertEqual(contents(path), self.first[0], "the zip")
        self.assertEqual(contents(package_of(path)), self.first[1], "the package")

    def test_whatever_the_file_times_locale_and_time_zone(self):
        for name in ("LICENSE", "release/README.txt", "release/check-entries.cmd",
                     "release/mkvtype.wxs", "app/icon/mkvtype.ico"):
            os.utime(os.path.join(run.CHECKOUT, name))
        locales = os.path.join(run.WORK, "locales")
        os.makedirs(locales, exist_ok=True)
        subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8",
                        os.path.join(locales, "en_US.UTF-8")], check=True)
        env = {**os.environ, "LOCPATH": locales, "LC_ALL": "en_US.UTF-8",
               "TZ": "Pacific/Kiritimati"}
        # The locale is in force: it orders names otherwise than byte order does.
        ordered = subprocess.run(["sort"], input="LICENSE\ncheck-entries.cmd\n", env=env,
                                 capture_output=True, text=True, check=True).stdout
        self.assertEqual(ordered, "check-entries.cmd\nLICENSE\n")
        self.assertSameRelease(make_release(env=env))

    def test_whatever_the_checkouts_build_folder_holds(self):
        build = os.path.join(run.CHECKOUT, "build", "windows")
        # The preset sets the build type again; these options it leaves as they are.
        subprocess.run(["cmake", "--preset", "windows", "-DCMAKE_CXX_FLAGS_MINSIZEREL=-O1",
                        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--major-os-version=10"], cwd=run.CHECKOUT,
                       check=True, capture_output=True)
        subprocess.run(["cmake", "--build", build, "--target", "mkvtype"], check=True,
                       capture_output=True)
        try:
            path = make_release()
            self.assertSameRelease(path)
            with open(run.BUILT_EXE, "rb") as file:
                self.assertEqual(read(path, "mkvtype.exe"), file.read())
        finally:
            shutil.rmtree(os.path.join(run.CHECKOUT, "build"))


if __name__ == "__main__":
    run.main()
