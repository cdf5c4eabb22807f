#!/usr/bin/python3
"""Signed releases: the exe and the package signed with a PEM certificate and key or a PKCS#12
file, time-stamped or not, and verified against the CA that issued the certificate."""
import hashlib
import os
import subprocess
import tempfile
import unittest

import release_run as run
from doctored import unsigned
from release_run import ZIP_NAME, made_release, package_of, packaged_exe, read, release, verify
from throwaway import PASSWORD, URL


class SignedRelease(unittest.TestCase):
    def check_signed(self, zip_path, time_stamped):
        exe = read(zip_path, "mkvtype.exe")
        with open(run.BUILT_EXE, "rb") as file:
            self.assertEqual(unsigned(exe), file.read(), "without its signature: the build")
        self.assertIn(f"{hashlib.sha256(exe).hexdigest()}  mkvtype.exe",
                      read(zip_path, "SHA256SUMS").decode())
        result = verify(zip_path, "--ca", run.KEYS.ca_pem)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("signature: valid SHA-256 Authenticode, by /CN=mkvtype test signer",
                      result.stdout)
        self.assertRegex(result.stdout, r"time stamp: valid, \w{3} [ \d]\d [\d:]{8} \d{4} GMT"
                         if time_stamped else "time stamp: none")
        # The package: the zip's signed exe inside, signed itself the same way.
        package = package_of(zip_path)
        self.assertEqual(packaged_exe(package), exe, "the package holds the zip's exe")
        checked = verify(package, "--ca", run.KEYS.ca_pem)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        self.assertIn("package signature: valid SHA-256 Authenticode, by /CN=mkvtype test signer",
                      checked.stdout)
        self.assertRegex(checked.stdout, r"package time stamp: valid, " if time_stamped
                         else "package time stamp: none")
        self.assertIn("its own signature set aside, what commit", checked.stdout)
        return result

    def test_certificate_and_key_with_a_time_stamp(self):
        path = made_release("signed")
        print(self.check_signed(path, time_stamped=True).stdout)

    def test_pkcs12_with_its_password_from_the_environment(self):
        result, output = release("--pkcs12", run.KEYS.signer_p12, "--url", URL, password=PASSWORD)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(PASSWORD, result.stdout + result.stderr)
        self.check_signed(os.path.join(output, ZIP_NAME), time_stamped=False)

    def test_program_name_and_url_are_in_the_signature(self):
        path = made_release("signed")
        with tempfile.TemporaryDirectory(dir=run.WORK) as folder:
            exe = os.path.join(folder, "mkvtype.exe")
            with open(exe, "wb") as file:
                file.write(read(path, "mkvtype.exe"))
            shown = subprocess.run(["osslsigncode", "verify", "-CAfile", run.KEYS.ca_pem, "-in",
                                    exe], capture_output=True, text=True).stdout
        self.assertIn("Text description: mkvtype", shown)
        self.assertIn(f"URL description: {URL}", shown)


if __name__ == "__main__":
    run.main()
