#!/usr/bin/python3
"""The two prefixes' folders share a parent: making one while the other is cleaned up, and
refusing a parent that another account may change.

At the start of a run both prefixes are prepared at once, and each first cleans up what an
earlier run left, which removes the shared parent where it is empty. Here one process makes
and removes its prefix's folder over and over while another cleans up the other prefix, which
does not exist, so that no wine server is involved.
"""
import multiprocessing
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_cases import clean_up, make_prefix_folder  # noqa: E402

ROUNDS = 2000


def make_and_remove(prefix):
    for _ in range(ROUNDS):
        make_prefix_folder(prefix)
        os.rmdir(prefix)


def keep_cleaning_up(prefix, stop):
    while not stop.is_set():
        clean_up(prefix)


class PrefixFolders(unittest.TestCase):
    def test_making_a_prefix_while_the_other_is_cleaned_up(self):
        with tempfile.TemporaryDirectory() as base:
            parent = os.path.join(base, "prefixes")
            stop = multiprocessing.Event()
            cleaner = multiprocessing.Process(
                target=keep_cleaning_up, args=(os.path.join(parent, "win64"), stop))
            cleaner.start()
            try:
                make_and_remove(os.path.join(parent, "win32"))
            finally:
                stop.set()
                cleaner.join()
            self.assertEqual(cleaner.exitcode, 0)


    def test_a_shared_folder_that_another_account_may_change_is_refused(self):
        """Its name is foreseeable, in a place where anyone may make folders."""
        rows = [
            # (what is wrong, how it is made so)
            ("another account's", lambda folder: os.chown(folder, 65534, 65534)),
            ("open to every account", lambda folder: os.chmod(folder, 0o777)),
            ("a link", lambda folder: (os.rename(folder, folder + ".elsewhere"),
                                       os.symlink(folder + ".elsewhere", folder))),
        ]
        for name, spoil in rows:
            if name == "another account's" and os.getuid() != 0:
                continue  # only root may give a folder away
            with self.subTest(name), tempfile.TemporaryDirectory() as base:
                parent = os.path.join(base, "prefixes")
                os.mkdir(parent)
                spoil(parent)
                with self.assertRaises(SystemExit) as refused:
                    make_prefix_folder(os.path.join(parent, "win32"))
                self.assertEqual(str(refused.exception),
                                 f"{parent} is not a folder of this account's own, which only "
                                 f"it may write in: remove it, and run the tests again")
                self.assertFalse(os.path.exists(os.path.join(parent, "win32")))


if __name__ == "__main__":
    unittest.main()
