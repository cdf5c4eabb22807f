#!/usr/bin/python3
"""The release: scripts/release.sh and scripts/verify-release.sh, as a maintainer and a careful
user run them, with a throwaway certificate authority, code-signing certificate and time-stamp
authority made by openssl for the run.

    release_test.py SOURCE_DIR [unittest arguments, such as a class name]
"""
import contextlib
import hashlib
import http.server
import io
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest
import zipfile

SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
RELEASE = os.path.join(SOURCE, "scripts", "release.sh")
VERIFY = os.path.join(SOURCE, "scripts", "verify-release.sh")
BUILT_EXE = os.path.join(SOURCE, "build", "windows", "mkvtype.exe")
FOLDER = "mkvtype-1.0.0.0"
ZIP_NAME = "mkvtype-1.0.0.0-x86.zip"
FILES = ["LICENSE", "README.txt", "SHA256SUMS", "check-entries.cmd", "mkvtype.exe"]
PASSWORD = "correct horse battery staple"
URL = "https://mkvtype.test/"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Keys:
    """A CA, a code-signing certificate it issued (PEM, and PKCS#12 with a password), a key of
    no certificate, a time-stamp authority's certificate, and a CA that issued none of them."""

    def __init__(self, folder):
        self.folder = folder
        for name, subject in (("ca", "mkvtype test CA"), ("foreign-ca", "someone else's CA")):
            openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                    "-out", f"{name}.pem", "-days", "30", "-subj", f"/CN={subject}",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
        for name, usage in (("signer", "codeSigning"), ("tsa", "critical,timeStamping")):
            with open(os.path.join(folder, f"{name}.ext"), "w") as ext:
                ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                          f"extendedKeyUsage={usage}\n")
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                    f"{name}.csr", "-subj", f"/CN=mkvtype test {name}", cwd=folder)
            openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "30", "-extfile", f"{name}.ext",
                    "-out", f"{name}.pem", cwd=folder)
        openssl("genpkey", "-algorithm", "RSA", "-out", "stranger.key", cwd=folder)
        openssl("pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
                "-out", "signer.p12", "-passout", f"pass:{PASSWORD}", cwd=folder)

    def __getattr__(self, name):
        """keys.foreign_ca_pem is the path of foreign-ca.pem."""
        stem, extension = name.rsplit("_", 1)
        return os.path.join(self.folder, f"{stem.replace('_', '-')}.{extension}")


class TimeStampAuthority:
    """An RFC 3161 time-stamp authority on loopback: `openssl ts -reply` behind a small HTTP
    handler, on a port the system picks, until stopped."""

    def __init__(self, keys, folder):
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w") as file:
            file.write(f"""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/tsa.serial
signer_digest = sha256
default_policy = 1.3.6.1.4.1.99999.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
        with open(os.path.join(folder, "tsa.serial"), "w") as file:
            file.write("01\n")
        reply = ["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                 "-inkey", keys.tsa_key, "-signer", keys.tsa_pem, "-chain", keys.ca_pem]

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                answer = subprocess.run(reply, input=query, capture_output=True).stdout
                self.send_response(200 if answer else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def closed_port_url():
    """A loopback URL where nothing listens: the port was free a moment ago."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return f"http://127.0.0.1:{port}/"


def setUpModule():
    global WORK, KEYS, TSA
    WORK = tempfile.mkdtemp(prefix="mkvtype-release-test-")
    os.makedirs(os.path.join(WORK, "keys"))
    KEYS = Keys(os.path.join(WORK, "keys"))
    TSA = TimeStampAuthority(KEYS, os.path.join(WORK, "keys"))


def tearDownModule():
    TSA.stop()
    shutil.rmtree(WORK, ignore_errors=True)


def release(*args, password=None, output=None):
    """Runs release.sh into a new folder; returns (result, output folder)."""
    output = output or tempfile.mkdtemp(dir=WORK, prefix="dist-")
    env = {k: v for k, v in os.environ.items() if k != "MKVTYPE_SIGN_PASSWORD"}
    if password is not None:
        env["MKVTYPE_SIGN_PASSWORD"] = password
    result = subprocess.run([RELEASE, *args, "--output", output], env=env, capture_output=True,
                            text=True, check=False)
    return result, output


def signed_by_pem(*more):
    """release.sh's arguments for signing with the PEM certificate and key."""
    return ["--cert", KEYS.signer_pem, "--key", KEYS.signer_key, "--url", URL, *more]


def make_release(*args, password=None):
    result, output = release(*args, password=password)
    assert result.returncode == 0, result.stderr
    path = os.path.join(output, ZIP_NAME)
    assert result.stdout.splitlines()[-1] == path, result.stdout
    return path


def verify(zip_path, *args):
    return subprocess.run([VERIFY, zip_path, *args], capture_output=True, text=True, check=False)


def read(zip_path, name):
    with zipfile.ZipFile(zip_path) as archive:
        return archive.read(f"{FOLDER}/{name}")


def unsigned(exe_bytes):
    """The exe with its signature taken off by osslsigncode."""
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        signed, plain = os.path.join(folder, "signed.exe"), os.path.join(folder, "plain.exe")
        with open(signed, "wb") as file:
            file.write(exe_bytes)
        subprocess.run(["osslsigncode", "remove-signature", "-in", signed, "-out", plain],
                       check=True, capture_output=True)
        with open(plain, "rb") as file:
            return file.read()


def sums_of(files):
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in sorted(files.items()))


def rewrite(zip_path, target, change):
    """A copy of the zip with `change` applied to {name: bytes} of its folder."""
    with zipfile.ZipFile(zip_path) as archive:
        files = {info.filename[len(FOLDER) + 1:]: archive.read(info)
                 for info in archive.infolist() if not info.is_dir()}
    change(files)
    with zipfile.ZipFile(target, "w") as archive:
        for name, data in files.items():
            archive.writestr(f"{FOLDER}/{name}", data)
    return target


def flip_a_byte_of_code(files):
    exe = bytearray(files["mkvtype.exe"])
    exe[0x600] ^= 0xFF  # inside .text, after the headers
    files["mkvtype.exe"] = bytes(exe)


def resum(files):
    files["SHA256SUMS"] = sums_of({k: v for k, v in files.items() if k != "SHA256SUMS"}).encode()


class UnsignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = make_release()

    def test_holds_one_folder_with_exactly_the_release_files(self):
        with zipfile.ZipFile(self.zip) as archive:
            names = [info.filename for info in archive.infolist()]
            extra = [info.extra for info in archive.infolist()]
        self.assertEqual(names, [f"{FOLDER}/"] + [f"{FOLDER}/{name}" for name in FILES])
        self.assertEqual(set(extra), {b""}, "no extra fields: times and owners of this machine")

    def test_exe_is_the_build(self):
        with open(BUILT_EXE, "rb") as file:
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

    def test_same_commit_gives_the_same_bytes_whatever_the_file_times(self):
        for name in ("LICENSE", "release/README.txt", "release/check-entries.cmd"):
            os.utime(os.path.join(SOURCE, name))
        with open(self.zip, "rb") as first, open(make_release(), "rb") as second:
            self.assertEqual(first.read(), second.read())

    def test_verifies(self):
        result = verify(self.zip)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("signature: none (an unsigned release)", result.stdout)
        self.assertIn("is what this checkout builds", result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "verified: every check holds")


class SignedRelease(unittest.TestCase):
    def check_signed(self, zip_path, time_stamped):
        exe = read(zip_path, "mkvtype.exe")
        with open(BUILT_EXE, "rb") as file:
            self.assertEqual(unsigned(exe), file.read(), "without its signature: the build")
        self.assertIn(f"{hashlib.sha256(exe).hexdigest()}  mkvtype.exe",
                      read(zip_path, "SHA256SUMS").decode())
        result = verify(zip_path, "--ca", KEYS.ca_pem)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("signature: valid SHA-256 Authenticode, by /CN=mkvtype test signer",
                      result.stdout)
        self.assertRegex(result.stdout, r"time stamp: valid, \w{3} [ \d]\d [\d:]{8} \d{4} GMT"
                         if time_stamped else "time stamp: none")
        return result

    def test_certificate_and_key_with_a_time_stamp(self):
        path = make_release(*signed_by_pem("--timestamp", TSA.url))
        print(self.check_signed(path, time_stamped=True).stdout)

    def test_pkcs12_with_its_password_from_the_environment(self):
        result, output = release("--pkcs12", KEYS.signer_p12, "--url", URL, password=PASSWORD)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(PASSWORD, result.stdout + result.stderr)
        self.check_signed(os.path.join(output, ZIP_NAME), time_stamped=False)

    def test_program_name_and_url_are_in_the_signature(self):
        path = make_release(*signed_by_pem())
        with tempfile.TemporaryDirectory(dir=WORK) as folder:
            exe = os.path.join(folder, "mkvtype.exe")
            with open(exe, "wb") as file:
                file.write(read(path, "mkvtype.exe"))
            shown = subprocess.run(["osslsigncode", "verify", "-CAfile", KEYS.ca_pem, "-in", exe],
                                   capture_output=True, text=True).stdout
        self.assertIn("Text description: mkvtype", shown)
        self.assertIn(f"URL description: {URL}", shown)


class BadInput(unittest.TestCase):
    """Each makes a one-line error, a non-zero status, and nothing in the output folder."""

    def cases(self):
        missing = os.path.join(WORK, "no-such.pem")
        return [
            ("MissingCertificate", ["--cert", missing, "--key", KEYS.signer_key, "--url", URL],
             None, "no such file"),
            ("CertificateThatIsNoCertificate",
             ["--cert", KEYS.signer_key, "--key", KEYS.signer_key, "--url", URL], None,
             "not a PEM certificate"),
            ("MissingKey", ["--cert", KEYS.signer_pem, "--key", missing, "--url", URL], None,
             "no such file"),
            ("UnreadableKey", ["--cert", KEYS.signer_pem, "--key", WORK, "--url", URL], None,
             "not a file"),
            ("KeyOfAnotherCertificate",
             ["--cert", KEYS.signer_pem, "--key", KEYS.stranger_key, "--url", URL], None,
             "does not belong to certificate"),
            ("WrongPassword", ["--pkcs12", KEYS.signer_p12, "--url", URL], "not the password",
             "wrong password"),
            ("NoPassword", ["--pkcs12", KEYS.signer_p12, "--url", URL], None, "wrong password"),
            ("UnknownOption", ["--sign-with", KEYS.signer_pem], None, "unknown option"),
            ("TimeStampWithoutSignature", ["--timestamp", TSA.url], None, "needs a signature"),
            ("TimeStampAuthorityNotAnswering",
             signed_by_pem("--timestamp", closed_port_url()), None, "did not answer"),
        ]

    def test_each_fails_cleanly(self):
        for name, args, password, message in self.cases():
            with self.subTest(name):
                output = os.path.join(tempfile.mkdtemp(dir=WORK), "dist")
                result, _ = release(*args, password=password, output=output)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(output) and os.listdir(output),
                                 "nothing in the output folder")


class VerifyRefuses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.signed = make_release(*signed_by_pem("--timestamp", TSA.url))
        cls.unsigned = make_release()

    def cases(self):
        def target(name):
            return os.path.join(tempfile.mkdtemp(dir=WORK), name)

        def contradicted(files):
            files["README.txt"] += b"One line more.\r\n"

        def changed_and_resummed(files):
            flip_a_byte_of_code(files)
            resum(files)

        not_a_zip = target("mkvtype-1.0.0.0-x86.zip")
        with open(not_a_zip, "w") as file:
            file.write("not a zip\n")
        return [
            ("FileThatSumsContradict", rewrite(self.signed, target("a.zip"), contradicted),
             ["--ca", KEYS.ca_pem], "FAILED checksums: README.txt does not match SHA256SUMS"),
            ("ExeChangedAfterSigning", rewrite(self.signed, target("b.zip"), changed_and_resummed),
             ["--ca", KEYS.ca_pem], "FAILED signature: mkvtype.exe's signature does not verify"),
            ("SignatureOfAnotherAuthority", self.signed, ["--ca", KEYS.foreign_ca_pem],
             "FAILED signature"),
            ("ExeNotWhatTheSourceBuilds",
             rewrite(self.unsigned, target("c.zip"), changed_and_resummed), [],
             "FAILED source: mkvtype.exe (sha256"),
            ("UnsignedWhereASignatureIsAskedFor", self.unsigned, ["--ca", KEYS.ca_pem],
             "FAILED signature: mkvtype.exe is not signed"),
            ("NotAZip", not_a_zip, [], "FAILED zip"),
        ]

    def test_each_is_refused(self):
        for name, path, args, message in self.cases():
            with self.subTest(name):
                result = verify(path, *args)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertIn(message, result.stdout)
                self.assertNotIn("verified: every check holds", result.stdout)


class SignedExeUnderWine(unittest.TestCase):
    """The signed exe still does its job: the end-to-end case of a full run, in the win32
    prefix that the end-to-end tests made."""

    def test_does_its_job(self):
        prefix, probe = os.environ["MKVTYPE_WINE_PREFIX"], os.environ["MKVTYPE_REGPROBE"]
        path = make_release(*signed_by_pem("--timestamp", TSA.url))
        exe = os.path.join(os.path.dirname(path), "mkvtype.exe")
        with open(exe, "wb") as file:
            file.write(read(path, "mkvtype.exe"))
        sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
        import wine_cases
        with contextlib.redirect_stdout(io.StringIO()) as said:
            wine_cases.run(prefix, "PlayerInstalledClassMissing", exe, probe)
        self.assertIn("registry as expected", said.getvalue())


if __name__ == "__main__":
    unittest.main(verbosity=2)
