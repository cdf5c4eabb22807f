#!/usr/bin/python3
"""The ready prefixes' rules, shown with stand-ins for wineboot and wineserver and for Wine's
own files: a prefix is made once and then unpacked; one kept for other Wine packages, another
recipe or another architecture is never used; one that does not match its digest is made again;
each says so in one line; what is unpacked is what was made, Wine's own files as links."""
import contextlib
import io
import os
import shutil
import sys
import tempfile
import unittest
from unittest import mock

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(PROJECT, "scripts", "wine", "vm"))
import ready_prefixes  # noqa: E402

# The stand-in for wineboot: a prefix with a copy of one of "Wine's own" files, a file of its
# own, and a count of the times it ran.
WINEBOOT = """#!/bin/sh
mkdir -p "$WINEPREFIX/drive_c/windows/system32"
cp "$WINES_OWN/kernel32.dll" "$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
echo "made for $WINEARCH" >"$WINEPREFIX/system.reg"
echo made >>"$MADE_LOG"
"""


class ReadyPrefixes(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        programs = self.make_folder("programs")
        self.write(os.path.join(programs, "wineboot"), WINEBOOT, mode=0o755)
        self.write(os.path.join(programs, "wineserver"), "#!/bin/sh\n", mode=0o755)
        wines_own = self.make_folder("wine")
        self.write(os.path.join(wines_own, "kernel32.dll"), "MZ the real kernel32\n")
        self.cache = os.path.join(self.folder, "cache")
        self.made_log = os.path.join(self.folder, "made.log")
        self.env = {"PATH": f"{programs}:{os.environ['PATH']}", "WINEARCH": "win32",
                    "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
                    "WINES_OWN": wines_own, "MADE_LOG": self.made_log}
        self.packages = ["wine:amd64=8.0~repack-4", "wine32:i386=8.0~repack-4"]
        for patch in (mock.patch.object(ready_prefixes, "WINES_OWN_FILES", (wines_own,)),
                      mock.patch.object(ready_prefixes, "wine_packages",
                                        lambda: list(self.packages))):
            patch.start()
            self.addCleanup(patch.stop)

    def make_folder(self, name):
        path = os.path.join(self.folder, name)
        os.makedirs(path)
        return path

    @staticmethod
    def write(path, text, mode=0o644):
        with open(path, "w") as file:
            file.write(text)
        os.chmod(path, mode)

    def prepare(self, **env):
        """A fresh prefix through the cache: (what it said, times made so far, the prefix)."""
        prefix = tempfile.mkdtemp(dir=self.folder)
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            ready_prefixes.make_or_unpack(self.cache, prefix,
                                          dict(self.env, WINEPREFIX=prefix, **env))
        return said.getvalue(), self.times_made(), prefix

    def times_made(self):
        try:
            with open(self.made_log) as file:
                return len(file.readlines())
        except FileNotFoundError:
            return 0

    def kept(self):
        return sorted(os.listdir(self.cache))

    def test_made_once_then_unpacked_with_wines_own_files_as_links(self):
        said, made, first = self.prepare()
        self.assertRegex(said, r"^no ready prefix win32-[0-9a-f]{16} for these Wine packages "
                               r"and this recipe: making it\n$")
        self.assertEqual(made, 1)
        said, made, second = self.prepare()
        self.assertRegex(said, r"^unpacked the ready prefix win32-[0-9a-f]{16}\n$")
        self.assertEqual(made, 1)
        for prefix in (first, second):
            dll = os.path.join(prefix, "drive_c", "windows", "system32", "kernel32.dll")
            self.assertEqual(os.readlink(dll), os.path.join(self.env["WINES_OWN"],
                                                            "kernel32.dll"))
            with open(os.path.join(prefix, "system.reg")) as file:
                self.assertEqual(file.read(), "made for win32\n")

    def test_a_prefix_kept_for_something_else_is_never_used(self):
        rows = [
            # (what differs, how, the architectures kept afterwards: a newer prefix of an
            # architecture takes the older one's place)
            ("Wine packages", lambda: self.packages.__setitem__(0, "wine:amd64=9.0~repack-1"),
             {}, ["win32"]),
            ("recipe", lambda: None, {"WINEDLLOVERRIDES": "mscoree="}, ["win32"]),
            ("architecture", lambda: None, {"WINEARCH": "win64"}, ["win32", "win64"]),
        ]
        for name, change, env, kept in rows:
            with self.subTest(name):
                shutil.rmtree(self.cache, ignore_errors=True)
                _, made_before, _ = self.prepare()
                change()
                said, made, _ = self.prepare(**env)
                self.assertRegex(said, r"^no ready prefix win(32|64)-[0-9a-f]{16} for these "
                                       r"Wine packages and this recipe: making it\n$")
                self.assertEqual(made, made_before + 1)
                self.assertEqual(sorted({n.split("-")[0] for n in self.kept()}), kept)
                self.assertEqual(len(self.kept()), 2 * len(kept))

    def test_a_damaged_prefix_is_made_again(self):
        self.prepare()
        rows = [
            # (what is done to the kept prefix)
            ("a byte changed", lambda tar: self.flip_a_byte(tar)),
            ("cut short", lambda tar: os.truncate(tar, 100)),
            ("its digest gone", lambda tar: os.remove(tar[:-len(".tar")] + ".sha256")),
        ]
        for name, damage in rows:
            with self.subTest(name):
                tar, = [os.path.join(self.cache, n) for n in self.kept() if n.endswith(".tar")]
                made_before = self.times_made()
                damage(tar)
                said, made, prefix = self.prepare()
                self.assertEqual(made, made_before + 1)
                self.assertEqual(len(said.splitlines()), 1, said)
                self.assertRegex(said, r"(does not match its digest: making it again|"
                                       r"no ready prefix .*: making it)\n$")
                with open(os.path.join(prefix, "system.reg")) as file:
                    self.assertEqual(file.read(), "made for win32\n")
                said, _, _ = self.prepare()
                self.assertIn("unpacked the ready prefix", said)

    @staticmethod
    def flip_a_byte(path):
        with open(path, "r+b") as file:
            file.seek(600)
            byte = file.read(1)
            file.seek(600)
            file.write(bytes([byte[0] ^ 0xFF]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
