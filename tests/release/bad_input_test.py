#!/usr/bin/python3
"""release.sh refuses what it cannot make a sound release of, with one line and nothing
written."""
import os
import tempfile
import unittest

import release_run as run
from release_run import copy_tree, git, make_checkout, release, signed_by_pem
from throwaway import PASSWORD, URL, closed_port_url


class BadInput(unittest.TestCase):
    """Each makes a one-line error, a non-zero status, and nothing in the output folder."""

    def cases(self):
        missing = os.path.join(run.WORK, "no-such.pem")
        return [
            ("MissingCertificate", ["--cert", missing, "--key", run.KEYS.signer_key, "--url", URL],
             None, "no such file"),
            ("CertificateThatIsNoCertificate",
             ["--cert", run.KEYS.signer_key, "--key", run.KEYS.signer_key, "--url", URL], None,
             "not a PEM certificate"),
            ("MissingKey", ["--cert", run.KEYS.signer_pem, "--key", missing, "--url", URL], None,
             "no such file"),
            ("UnreadableKey", ["--cert", run.KEYS.signer_pem, "--key", run.WORK, "--url", URL],
             None, "not a file"),
            ("KeyOfAnotherCertificate",
             ["--cert", run.KEYS.signer_pem, "--key", run.KEYS.stranger_key, "--url", URL], None,
             "does not belong to certificate"),
            ("WrongPassword", ["--pkcs12", run.KEYS.signer_p12, "--url", URL], "not the password",
             "wrong password"),
            ("NoPassword", ["--pkcs12", run.KEYS.signer_p12, "--url", URL], None, "wrong password"),
            ("UnknownOption", ["--sign-with", run.KEYS.signer_pem], None, "unknown option"),
            # An option's value never is the next option: the output folder, here.
            ("OptionWithoutItsValue", ["--cert"], None, "--cert needs a value"),
            ("KeyWithoutCertificate", ["--key", run.KEYS.signer_key, "--url", URL], None,
             "--key needs --cert"),
            ("PKCS12BesideACertificate",
             ["--pkcs12", run.KEYS.signer_p12, *signed_by_pem()], PASSWORD,
             "--pkcs12 goes without --cert and --key"),
            ("URLWithoutSignature", ["--url", URL], None, "--url goes into a signature"),
            ("SignatureWithoutURL", ["--pkcs12", run.KEYS.signer_p12], PASSWORD,
             "signing needs --url"),
            ("TimeStampWithoutSignature", ["--timestamp", run.TSA.url], None, "needs a signature"),
            ("TimeStampAuthorityNotAnswering",
             signed_by_pem("--timestamp", closed_port_url()), None, "did not answer"),
            # Windows refuses a signature by a certificate that may not sign code.
            ("CertificateNotForCodeSigning", signed_by_pem(signer="tsa"), None,
             "its extended key usage (Time Stamping) does not allow code signing"),
            ("PKCS12NotForCodeSigning", ["--pkcs12", run.KEYS.tsa_p12, "--url", URL], PASSWORD,
             "does not allow code signing"),
            # A release is what its commit builds, and nothing else.
            ("UncommittedChange", [], None, "uncommitted changes to tracked files (LICENSE)",
             self.checkout_with_a_change()),
            ("TreeInsideAnotherRepository", [], None, "is not a git checkout of its own",
             self.tree_inside_another_repository()),
            # wixl only warns of what it ignores, and goes on: a warning stops the release.
            ("PackageSourceThatWixlWarnsOf", [], None,
             "package: wixl warned: (wixl:", self.checkout_whose_package_source_has(
                 '<Media Id="1"', '<Media Id="1" Bogus="yes"')),
        ]

    @staticmethod
    def checkout_whose_package_source_has(text, replacement):
        checkout = make_checkout(tempfile.mkdtemp(dir=run.WORK))
        source = os.path.join(checkout, "release", "mkvtype.wxs")
        with open(source) as file:
            changed = file.read().replace(text, replacement)
        with open(source, "w") as file:
            file.write(changed)
        git("commit", "-q", "-a", "-m", "A package source wixl warns of", cwd=checkout)
        return checkout

    @staticmethod
    def checkout_with_a_change():
        checkout = make_checkout(tempfile.mkdtemp(dir=run.WORK))
        with open(os.path.join(checkout, "LICENSE"), "a") as file:
            file.write("A line nobody committed.\n")
        return checkout

    @staticmethod
    def tree_inside_another_repository():
        """A tree that is no checkout, in a folder of a repository of something else: its
        commit is not the tree's."""
        outer = tempfile.mkdtemp(dir=run.WORK)
        git("init", "-q", cwd=outer)
        git("commit", "-q", "--allow-empty", "-m", "Something else", cwd=outer)
        tree = os.path.join(outer, "mkvtype")
        copy_tree(tree)
        return tree

    def test_each_fails_cleanly(self):
        for name, args, password, message, *checkout in self.cases():
            with self.subTest(name):
                output = os.path.join(tempfile.mkdtemp(dir=run.WORK), "dist")
                result, _ = release(*args, password=password, output=output,
                                    checkout=checkout[0] if checkout else None)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(output) and os.listdir(output),
                                 "nothing in the output folder")


if __name__ == "__main__":
    run.main()
