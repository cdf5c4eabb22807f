#!/usr/bin/python3
"""The unsigned release zip: what it holds, how its files are stored, and that it verifies."""
import re
import unittest
import zipfile

import release_run as run
from doctored import sums_of
from release_run import FILES, FOLDER, git, made_release, read, verify


class UnsignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = made_release("unsigned")

    def test_holds_one_folder_with_exactly_the_release_files(self):
        with zipfile.ZipFile(self.zip) as archive:
            names = [info.filename for info in archive.infolist()]
            extra = [info.extra for info in archive.infolist()]
        self.assertEqual(names, [f"{FOLDER}/"] + [f"{FOLDER}/{name}" for name in FILES])
        self.assertEqual(set(extra), {b""}, "no extra fields: times and owners of this machine")

    def test_exe_is_the_build(self):
        with open(run.BUILT_EXE, "rb") as file:
            self.assertEqual(read(self.zip, "mkvtype.exe"), file.read())

    def test_sums_cover_every_other_file(self):
        files = {name: read(self.zip, name) for name in FILES if name != "SHA256SUMS"}
        self.assertEqual(read(self.zip, "SHA256SUMS").decode(), sums_of(files))

    def test_windows_text_files_have_crlf_line_endings(self):
        for name in ("check-entries.cmd", "README.txt"):
            with self.subTest(file=name):
                text = read(self.zip, name)
                self.assertTrue(text.endswith(b"\r\n"))
                self.assertEqual(text.count(b"\n"), text.count(b"\r\n"))

    def test_license_is_mit(self):
        text = read(self.zip, "LICENSE").decode()
        self.assertTrue(text.startswith("MIT License\n\nCopyright (c) 2026 The mkvtype authors\n"))

    def test_files_carry_the_time_of_the_commit(self):
        with zipfile.ZipFile(self.zip) as archive:
            times = {info.date_time for info in archive.infolist()}
        self.assertEqual(times, {(2026, 1, 2, 3, 4, 6)})

    def test_buildinfo_names_the_commit_and_the_build_tools(self):
        text = read(self.zip, "BUILDINFO").decode()
        commit = git("rev-parse", "HEAD", cwd=run.CHECKOUT).strip()
        self.assertIn(f"\nGit-Commit: {commit}\n", text)
        self.assertIn("\nVersion: 1.0.0.0\n", text)
        for package in ("g++-mingw-w64-i686-win32", "binutils-mingw-w64-i686",
                        "mingw-w64-i686-dev", "cmake", "ninja-build"):
            self.assertRegex(text, rf"\n {re.escape(package)} \(= [^)]+\)\n")

    def test_verifies(self):
        result = verify(self.zip)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("signature: none (an unsigned release)", result.stdout)
        commit = git("rev-parse", "HEAD", cwd=run.CHECKOUT).strip()
        self.assertIn(f"source: mkvtype.exe is what commit {commit} builds", result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "verified: every check holds")


if __name__ == "__main__":
    run.main()
