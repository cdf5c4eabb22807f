#!/usr/bin/python3
"""The run's throwaway time-stamp authority listens on loopback, where every account on the
machine may connect: it answers the account that runs the tests, and no other."""
import os
import subprocess
import unittest

import release_run as run

# Posts the query on stdin to the URL given, and writes the answer.
CLIENT = ("import sys, urllib.request\n"
          "kind = {'Content-Type': 'application/timestamp-query'}\n"
          "request = urllib.request.Request(sys.argv[1], sys.stdin.buffer.read(), kind)\n"
          "sys.stdout.buffer.write(urllib.request.urlopen(request, timeout=20).read())\n")
ANOTHER_ACCOUNT = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                   "--reset-env"]


def ask_for_a_time_stamp(*as_account):
    query = subprocess.run(["openssl", "ts", "-query", "-data", "/etc/hostname", "-sha256",
                            "-cert"], capture_output=True, check=True).stdout
    return subprocess.run([*as_account, "/usr/bin/python3", "-c", CLIENT, run.TSA.url],
                          input=query, capture_output=True, timeout=60)


class TimeStampAuthorityIsTheRunsOwn(unittest.TestCase):
    def test_stamps_for_the_account_that_runs_the_tests(self):
        answer = ask_for_a_time_stamp()
        self.assertEqual(answer.returncode, 0, answer.stderr)
        shown = subprocess.run(["openssl", "ts", "-reply", "-in", "/dev/stdin", "-text"],
                               input=answer.stdout, capture_output=True, check=True).stdout
        self.assertIn(b"Status: Granted.", shown)

    def test_closes_another_accounts_connection_unanswered(self):
        if os.getuid() != 0:
            self.skipTest("only root can act as another account here")
        answer = ask_for_a_time_stamp(*ANOTHER_ACCOUNT)
        self.assertNotEqual(answer.returncode, 0)
        self.assertEqual(answer.stdout, b"", "another account got a time stamp")
        # The connection is closed as the request is sent, or as its answer is awaited.
        self.assertRegex(answer.stderr, rb"without response|Broken pipe|Connection reset")


if __name__ == "__main__":
    run.main()
