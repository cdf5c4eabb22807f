#!/usr/bin/python3
"""Makes what the suites of a test run share, once, before them: the throwaway keys and the
releases that several suites only read."""
import os
import shutil
import unittest

import release_run as run
from release_run import SHARED_RELEASES, made_release
from throwaway import Keys


class MakeKeys(unittest.TestCase):
    """Makes the keys of a test run, for the suites that follow it: new ones, since the
    certificates expire."""

    def test_makes_new_keys(self):
        shutil.rmtree(run.KEYS.folder)
        Keys(run.KEYS.folder)
        self.assertTrue(os.path.exists(run.KEYS.ca_pem))


class MakeReleases(unittest.TestCase):
    """Makes the shared releases of a test run, for the suites that follow it: new ones, from
    the tree as it is now."""

    def test_makes_new_releases(self):
        shutil.rmtree(run.RELEASES, ignore_errors=True)
        for kind in SHARED_RELEASES:
            self.assertTrue(os.path.exists(made_release(kind)))


if __name__ == "__main__":
    run.main()
