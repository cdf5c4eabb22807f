#!/usr/bin/python3
"""verify-release.sh refuses every doctored zip and package, each with one FAILED line."""
import os
import re
import tempfile
import unittest

import release_run as run
from doctored import (copied_with, encrypted, flip_a_byte_of_code, flipped, msi_changed,
                      only_the_folder, osslsigncode_applied, package_from, package_installing_more,
                      resum, rewrite, with_bytes_in_the_certificate_table, with_extra_entry,
                      with_links)
from release_run import COMMIT_EPOCH, FOLDER, PACKAGE_NAME, made_release, package_of, verify


class VerifyRefuses(unittest.TestCase):
    """Each is refused with exit status 1 and one FAILED line, the last one printed."""

    @classmethod
    def setUpClass(cls):
        cls.signed = made_release("signed")
        cls.unsigned = made_release("unsigned")

    def cases(self):
        def target(name):
            return os.path.join(tempfile.mkdtemp(dir=run.WORK), name)

        def contradicted(files):
            files["README.txt"] += b"One line more.\r\n"

        def changed_and_resummed(files):
            flip_a_byte_of_code(files)
            resum(files)

        def resigned(*command):
            """The exe with osslsigncode's `command` applied, and SHA256SUMS to match."""
            def change(files):
                files["mkvtype.exe"] = osslsigncode_applied(files["mkvtype.exe"], *command)
                resum(files)
            return change

        def padded_table(files):
            files["mkvtype.exe"] = with_bytes_in_the_certificate_table(files["mkvtype.exe"])
            resum(files)

        def built_with_another_cmake(files):
            files["BUILDINFO"] = re.sub(rb"\n cmake \(= [^)]*\)", b"\n cmake (= 9.9.9-1)",
                                        files["BUILDINFO"])
            resum(files)

        def of_another_commit(files):
            files["BUILDINFO"] = re.sub(rb"Git-Commit: \w+", b"Git-Commit: " + b"0" * 40,
                                        files["BUILDINFO"])
            resum(files)

        not_a_zip = target("mkvtype-1.0.0.0-x86.zip")
        with open(not_a_zip, "w") as file:
            file.write("not a zip\n")
        ca = ["--ca", run.KEYS.ca_pem]
        links = {name: os.path.join(run.CHECKOUT, path) for name, path in
                 (("LICENSE", "LICENSE"), ("README.txt", "release/README.txt"),
                  ("check-entries.cmd", "release/check-entries.cmd"))}
        return [
            ("FileThatSumsContradict", rewrite(self.signed, target("a.zip"), contradicted),
             ca, "FAILED checksums: README.txt does not match SHA256SUMS"),
            ("ExeChangedAfterSigning", rewrite(self.signed, target("b.zip"), changed_and_resummed),
             ca, "FAILED signature: mkvtype.exe's signature does not verify"),
            ("SignatureOfAnotherAuthority", self.signed, ["--ca", run.KEYS.foreign_ca_pem],
             "FAILED signature"),
            ("ExeNotWhatTheSourceBuilds",
             rewrite(self.unsigned, target("c.zip"), changed_and_resummed), [],
             "FAILED source: mkvtype.exe (sha256"),
            ("UnsignedWhereASignatureIsAskedFor", self.unsigned, ca,
             "FAILED signature: mkvtype.exe is not signed"),
            ("NotAZip", not_a_zip, [], "FAILED zip"),
            # Entries that unpack as something other than plain files.
            ("FilesThatAreLinksToTheVerifiersCheckout",
             with_links(self.unsigned, target("d.zip"), links), [],
             "FAILED zip: mkvtype-1.0.0.0/LICENSE is a symbolic link, not a plain file"),
            ("OnlyTheFolder", only_the_folder(target("e.zip")), [],
             "FAILED zip: lacks mkvtype-1.0.0.0/BUILDINFO"),
            ("Encrypted", encrypted(self.unsigned, target("f.zip")), [],
             " is encrypted"),
            ("NameWithACarriageReturnAndAGlob",
             with_extra_entry(self.unsigned, target("g.zip"), f"{FOLDER}/*\r.exe"), [],
             f"FAILED zip: holds {FOLDER}/*\\x0d.exe, which is no file of {FOLDER}/"),
            # Signatures that verify, beside something they do not cover.
            ("SecondNestedSignature",
             rewrite(self.signed, target("h.zip"),
                     resigned("sign", "-nest", "-certs", run.KEYS.foreign_ca_pem, "-key",
                              run.KEYS.foreign_ca_key, "-h", "sha256")),
             ca, "FAILED signature: mkvtype.exe: it carries a second, nested signature"),
            ("BytesInTheCertificateTable", rewrite(self.signed, target("i.zip"), padded_table),
             ca, "FAILED signature: mkvtype.exe: its certificate table holds 16 bytes beyond the "
             "signature and its zero padding"),
            ("UnauthenticatedBlob",
             rewrite(self.signed, target("j.zip"), resigned("add", "-addUnauthenticatedBlob")),
             ca, "other than a time stamp, which anyone could have added"),
            ("SignerNotForCodeSigning",
             rewrite(self.unsigned, target("k.zip"),
                     resigned("sign", "-certs", run.KEYS.tsa_pem, "-key", run.KEYS.tsa_key, "-h",
                              "sha256")),
             ca, "extended key usage (time_stamping) does not allow code signing"),
            # The tools that built it, compared before the exe is blamed.
            ("BuiltWithOtherTools", rewrite(self.unsigned, target("l.zip"),
                                            built_with_another_cmake), [],
             "FAILED build tools: this machine cannot rebuild the release's exe, since its build "
             "tools differ from the release's (install the release's versions to compare): "
             "cmake: the release was built with cmake (= 9.9.9-1), this machine has cmake (= "),
            ("MadeFromAnotherCommit", rewrite(self.unsigned, target("m.zip"), of_another_commit),
             [], "FAILED buildinfo: the release is version 1.0.0.0 from commit 0000000000"),
            # The package, checked as thoroughly.
            ("PackageChangedAfterSigning",
             msi_changed(package_of(self.signed), target(PACKAGE_NAME),
                         "UPDATE Property SET Value='Something else' WHERE "
                         "Property='ARPCOMMENTS'"),
             ca, "FAILED package signature: the package's signature does not verify"),
            ("PackageSignedByAnotherAuthority",
             copied_with(package_of(self.unsigned), target(PACKAGE_NAME),
                         ("sign", "-certs", run.KEYS.foreign_ca_pem, "-key",
                          run.KEYS.foreign_ca_key, "-h", "sha256")),
             ca, "FAILED package signature: the package's signature does not verify against"),
            ("PackageWithASecondNestedSignature",
             copied_with(package_of(self.signed), target(PACKAGE_NAME),
                         ("sign", "-nest", "-certs", run.KEYS.foreign_ca_pem, "-key",
                          run.KEYS.foreign_ca_key, "-h", "sha256")),
             ca, "FAILED package signature: the package: it carries a second, nested signature"),
            ("UnsignedPackageWhereASignatureIsAskedFor", package_of(self.unsigned), ca,
             "FAILED package signature: the package is not signed"),
            ("PackageOfAnotherExe", package_from(flipped(run.BUILT_EXE), target(PACKAGE_NAME)),
             [], "FAILED source: mkvtype.exe (sha256"),
            ("PackageOfAnotherDay",
             package_from(run.BUILT_EXE, target(PACKAGE_NAME), date=COMMIT_EPOCH + 86400), [],
             "FAILED package: it was made on Sat Jan  3 03:04:06 2026 UTC"),
            ("PackageInstallingMore", package_installing_more(target(PACKAGE_NAME)), [],
             "FAILED package: it installs Program Files/mkvtype/mkvtype.exe, "
             "Program Files/mkvtype/readme.ico, not Program Files/mkvtype/mkvtype.exe alone"),
            ("PackageOfAnotherVersion",
             package_from(run.BUILT_EXE, target(PACKAGE_NAME), version="1.0.1.0"), [],
             "FAILED package: its ProductVersion is 1.0.1.0, not 1.0.0.0"),
        ]

    def test_each_is_refused(self):
        for name, path, args, message in self.cases():
            with self.subTest(name):
                result = verify(path, *args)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                lines = result.stdout.splitlines()
                self.assertEqual([line for line in lines if line.startswith("FAILED")],
                                 lines[-1:], result.stdout)
                self.assertIn(message, lines[-1])
                self.assertNotIn("\r", result.stdout)
                self.assertNotIn("verified: every check holds", result.stdout)



class VerifyWrongCalls(unittest.TestCase):
    """Each says what is wrong with the call on one line of stderr, with exit status 2, and
    checks nothing."""

    def test_each_says_what_is_wrong(self):
        missing = os.path.join(run.WORK, "no-such-ca.pem")
        for name, args, message in [
                ("NoFile", [], "which zip or package?"),
                ("TwoFiles", ["a.zip", "b.zip"], "one file at a time"),
                ("CAWithoutItsFile", ["a.zip", "--ca"], "--ca needs a file"),
                ("UnknownOption", ["--trust", run.KEYS.ca_pem, "a.zip"],
                 "unknown option: --trust"),
                ("UnreadableCA", ["a.zip", "--ca", missing], f"cannot read CA file {missing}")]:
            with self.subTest(name):
                result = verify(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                self.assertEqual(result.stderr.splitlines(),
                                 [f"verify-release.sh: {message} (usage: scripts/verify-release.sh "
                                  "ZIP_OR_MSI [--ca CA.pem])"])


if __name__ == "__main__":
    run.main()
