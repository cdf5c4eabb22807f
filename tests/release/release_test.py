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
import re
import signal
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

import pefile

SOURCE = os.path.abspath(sys.argv.pop(1)) if len(sys.argv) > 1 else os.getcwd()
BUILT_EXE = os.path.join(SOURCE, "build", "windows", "mkvtype.exe")
FOLDER = "mkvtype-1.0.0.0"
ZIP_NAME = "mkvtype-1.0.0.0-x86.zip"
PACKAGE_NAME = "mkvtype-1.0.0.0-x86.msi"
# The codes the README gives administrators for their detection rules.
PRODUCT_CODE = "{57E4A6B5-5E5E-5673-BEB5-EEB89642B12E}"
UPGRADE_CODE = "{EE9D09E6-4A27-4163-B0B8-28956D65F387}"
# The time of the one commit of a test checkout, as git takes it and as seconds.
COMMIT_TIME, COMMIT_EPOCH = "2026-01-02T03:04:06Z", 1767323046
FILES = ["BUILDINFO", "LICENSE", "README.txt", "SHA256SUMS", "check-entries.cmd", "mkvtype.exe"]
PASSWORD = "correct horse battery staple"
URL = "https://mkvtype.test/"


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


class Keys:
    """A CA, a code-signing certificate it issued (PEM, and PKCS#12 with a password), a key of
    no certificate, a time-stamp authority's certificate (which may not sign code; PEM and
    PKCS#12), and a CA that issued none of them."""

    def __init__(self, folder):
        self.folder = folder
        made = os.path.join(folder, "made")
        if os.path.exists(made):
            return
        os.makedirs(folder, exist_ok=True)
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
        for name in ("signer", "tsa"):
            openssl("pkcs12", "-export", "-in", f"{name}.pem", "-inkey", f"{name}.key",
                    "-out", f"{name}.p12", "-passout", f"pass:{PASSWORD}", cwd=folder)
        with open(made, "w"):
            pass

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


def git(*args, cwd):
    """git with a fixed identity and time, so that the same tree gives the same commit."""
    env = {**os.environ, "GIT_AUTHOR_DATE": COMMIT_TIME, "GIT_COMMITTER_DATE": COMMIT_TIME}
    return subprocess.run(["git", "-c", "user.name=mkvtype tests", "-c",
                           "user.email=tests@mkvtype.test", "-c", "init.defaultBranch=main",
                           *args], cwd=cwd, env=env, check=True, capture_output=True,
                          text=True).stdout


def copy_tree(folder):
    """The source tree as it is now, committed or not, less what git ignores."""
    listed = git("ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=SOURCE)
    for name in filter(None, listed.split("\0")):
        source = os.path.join(SOURCE, name)
        if os.path.isfile(source):
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            shutil.copy2(source, os.path.join(folder, name))


def make_checkout(folder):
    """A checkout of its own whose one commit is the source tree as it is now: release.sh
    builds only what is committed, and the tests are to run the scripts under test."""
    copy_tree(folder)
    git("init", "-q", cwd=folder)
    git("add", "-A", cwd=folder)
    git("commit", "-q", "-m", "The tree under test", cwd=folder)
    return folder


def setUpModule():
    """Keys come from MKVTYPE_RELEASE_KEYS, made once for a test run (see MakeKeys), or are
    made here; so do the releases that several suites read (MKVTYPE_RELEASES, MakeReleases)."""
    global WORK, KEYS, TSA, CHECKOUT, RELEASES
    WORK = tempfile.mkdtemp(prefix="mkvtype-release-test-")
    KEYS = Keys(os.environ.get("MKVTYPE_RELEASE_KEYS") or os.path.join(WORK, "keys"))
    RELEASES = os.environ.get("MKVTYPE_RELEASES") or os.path.join(WORK, "releases")
    os.makedirs(os.path.join(WORK, "tsa"))
    TSA = TimeStampAuthority(KEYS, os.path.join(WORK, "tsa"))
    CHECKOUT = make_checkout(os.path.join(WORK, "checkout"))


def script(name, checkout=None):
    return os.path.join(checkout or CHECKOUT, "scripts", name)


def tearDownModule():
    TSA.stop()
    shutil.rmtree(WORK, ignore_errors=True)


def release(*args, password=None, output=None, checkout=None, env=None):
    """Runs release.sh into a new folder; returns (result, output folder)."""
    output = output or tempfile.mkdtemp(dir=WORK, prefix="dist-")
    env = {k: v for k, v in (env or os.environ).items() if k != "MKVTYPE_SIGN_PASSWORD"}
    if password is not None:
        env["MKVTYPE_SIGN_PASSWORD"] = password
    result = subprocess.run([script("release.sh", checkout), *args, "--output", output], env=env,
                            capture_output=True, text=True, check=False)
    return result, output


def signed_by_pem(*more, signer="signer"):
    """release.sh's arguments for signing with a PEM certificate and key."""
    return ["--cert", getattr(KEYS, f"{signer}_pem"), "--key", getattr(KEYS, f"{signer}_key"),
            "--url", URL, *more]


def make_release(*args, password=None, checkout=None, env=None, output=None):
    result, output = release(*args, password=password, checkout=checkout, env=env, output=output)
    assert result.returncode == 0, result.stderr
    path = os.path.join(output, ZIP_NAME)
    assert result.stdout.splitlines()[-2:] == [os.path.join(output, PACKAGE_NAME), path], \
        result.stdout
    return path


# The releases that suites share, only to read: release.sh's arguments for each.
SHARED_RELEASES = {"unsigned": lambda: [],
                   "signed": lambda: signed_by_pem("--timestamp", TSA.url)}


def made_release(kind):
    """The zip of a shared release (its package beside it), as release.sh made it from this
    tree: once for a test run, by MakeReleases, or here when it has not been made."""
    folder = os.path.join(RELEASES, kind)
    if not os.path.exists(os.path.join(folder, "made")):
        shutil.rmtree(folder, ignore_errors=True)
        make_release(*SHARED_RELEASES[kind](), output=folder)
        with open(os.path.join(folder, "made"), "w"):
            pass
    return os.path.join(folder, ZIP_NAME)


def package_of(zip_path):
    """The package release.sh made beside the zip."""
    return os.path.join(os.path.dirname(zip_path), PACKAGE_NAME)


def msi_table(path, table):
    """The rows of a table of the package, as msiinfo exports them: {first column: rest}."""
    exported = subprocess.run(["msiinfo", "export", path, table], capture_output=True, text=True,
                              check=True).stdout.splitlines()[3:]
    return {row.split("\t")[0]: row.split("\t")[1:] for row in exported}


def packaged_exe(path):
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        subprocess.run(["msiextract", "-C", folder, path], check=True, capture_output=True)
        with open(os.path.join(folder, "Program Files", "mkvtype", "mkvtype.exe"), "rb") as file:
            return file.read()


def verify(zip_path, *args, checkout=None):
    return subprocess.run([script("verify-release.sh", checkout), zip_path, *args],
                          capture_output=True, text=True, check=False)


def contents(path):
    with open(path, "rb") as file:
        return file.read()


def read(zip_path, name):
    with zipfile.ZipFile(zip_path) as archive:
        return archive.read(f"{FOLDER}/{name}")


def unsigned(exe_bytes):
    """The exe with its signature taken off by osslsigncode."""
    return osslsigncode_applied(exe_bytes, "remove-signature")


def sums_of(files):
    return "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in sorted(files.items()))


def files_of(zip_path):
    """{name: bytes} of the files in the zip's folder."""
    with zipfile.ZipFile(zip_path) as archive:
        return {info.filename[len(FOLDER) + 1:]: archive.read(info)
                for info in archive.infolist() if not info.is_dir()}


def rewrite(zip_path, target, change):
    """A copy of the zip with `change` applied to {name: bytes} of its folder."""
    files = files_of(zip_path)
    change(files)
    with zipfile.ZipFile(target, "w") as archive:
        for name, data in files.items():
            archive.writestr(f"{FOLDER}/{name}", data)
    return target


def with_a_byte_of_code_flipped(exe_bytes):
    exe = bytearray(exe_bytes)
    exe[0x600] ^= 0xFF  # inside .text, after the headers
    return bytes(exe)


def flip_a_byte_of_code(files):
    files["mkvtype.exe"] = with_a_byte_of_code_flipped(files["mkvtype.exe"])


def resum(files):
    files["SHA256SUMS"] = sums_of({k: v for k, v in files.items() if k != "SHA256SUMS"}).encode()


class MakeKeys(unittest.TestCase):
    """Makes the keys of a test run, for the suites that follow it: new ones, since the
    certificates expire."""

    def test_makes_new_keys(self):
        shutil.rmtree(KEYS.folder)
        Keys(KEYS.folder)
        self.assertTrue(os.path.exists(KEYS.ca_pem))


class MakeReleases(unittest.TestCase):
    """Makes the shared releases of a test run, for the suites that follow it: new ones, from
    the tree as it is now."""

    def test_makes_new_releases(self):
        shutil.rmtree(RELEASES, ignore_errors=True)
        for kind in SHARED_RELEASES:
            self.assertTrue(os.path.exists(made_release(kind)))


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

    def test_files_carry_the_time_of_the_commit(self):
        with zipfile.ZipFile(self.zip) as archive:
            times = {info.date_time for info in archive.infolist()}
        self.assertEqual(times, {(2026, 1, 2, 3, 4, 6)})

    def test_buildinfo_names_the_commit_and_the_build_tools(self):
        text = read(self.zip, "BUILDINFO").decode()
        commit = git("rev-parse", "HEAD", cwd=CHECKOUT).strip()
        self.assertIn(f"\nGit-Commit: {commit}\n", text)
        self.assertIn("\nVersion: 1.0.0.0\n", text)
        for package in ("g++-mingw-w64-i686-win32", "binutils-mingw-w64-i686",
                        "mingw-w64-i686-dev", "cmake", "ninja-build"):
            self.assertRegex(text, rf"\n {re.escape(package)} \(= [^)]+\)\n")

    def test_verifies(self):
        result = verify(self.zip)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("signature: none (an unsigned release)", result.stdout)
        commit = git("rev-parse", "HEAD", cwd=CHECKOUT).strip()
        self.assertIn(f"source: mkvtype.exe is what commit {commit} builds", result.stdout)
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
        # The package: the zip's signed exe inside, signed itself the same way.
        package = package_of(zip_path)
        self.assertEqual(packaged_exe(package), exe, "the package holds the zip's exe")
        checked = verify(package, "--ca", KEYS.ca_pem)
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
        result, output = release("--pkcs12", KEYS.signer_p12, "--url", URL, password=PASSWORD)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(PASSWORD, result.stdout + result.stderr)
        self.check_signed(os.path.join(output, ZIP_NAME), time_stamped=False)

    def test_program_name_and_url_are_in_the_signature(self):
        path = made_release("signed")
        with tempfile.TemporaryDirectory(dir=WORK) as folder:
            exe = os.path.join(folder, "mkvtype.exe")
            with open(exe, "wb") as file:
                file.write(read(path, "mkvtype.exe"))
            shown = subprocess.run(["osslsigncode", "verify", "-CAfile", KEYS.ca_pem, "-in", exe],
                                   capture_output=True, text=True).stdout
        self.assertIn("Text description: mkvtype", shown)
        self.assertIn(f"URL description: {URL}", shown)


class UnsignedPackage(unittest.TestCase):
    """The Windows Installer package as its tables show it. Wine's installer runs actions that
    Windows would refuse to, so where the action sits is read here, not only tried there."""

    @classmethod
    def setUpClass(cls):
        cls.zip = made_release("unsigned")
        cls.package = package_of(cls.zip)

    def test_runs_the_installed_exe_deferred_without_impersonation(self):
        # 18: an exe installed by the package; 1024: deferred; 2048: no impersonation.
        self.assertEqual(msi_table(self.package, "CustomAction")["RunMkvtype"][:3],
                         [str(18 + 1024 + 2048), "mkvtype.exe", ""])

    def test_runs_after_the_files_are_in_place_and_before_the_end_never_on_removal(self):
        sequence = msi_table(self.package, "InstallExecuteSequence")
        place = {action: int(row[1]) for action, row in sequence.items()}
        self.assertLess(place["InstallInitialize"], place["InstallFiles"])
        self.assertLess(place["InstallFiles"], place["RunMkvtype"])
        self.assertLess(place["RunMkvtype"], place["InstallFinalize"])
        self.assertEqual(sequence["RunMkvtype"][0], 'NOT REMOVE~="ALL"')

    def test_installs_for_all_users_only(self):
        properties = msi_table(self.package, "Property")
        self.assertEqual(properties["ALLUSERS"], ["1"])
        self.assertIn("Privileged AND ALLUSERS = 1", msi_table(self.package, "LaunchCondition"))
        self.assertEqual(msi_table(self.package, "Directory")["INSTALLFOLDER"][:2],
                         ["ProgramFilesFolder", "mkvtype"])

    def test_codes_and_add_remove_programs(self):
        properties = {name: row[0] for name, row in msi_table(self.package, "Property").items()}
        expected = {"ProductName": "mkvtype", "ProductVersion": "1.0.0.0",
                    "ProductCode": PRODUCT_CODE, "UpgradeCode": UPGRADE_CODE,
                    "Manufacturer": "The mkvtype authors", "ARPNOMODIFY": "1",
                    "ARPPRODUCTICON": "mkvtype.ico",
                    "ARPCOMMENTS": "Adds Matroska video to Windows Media Player's file types"}
        self.assertEqual({name: properties.get(name) for name in expected}, expected)
        self.assertIn("mkvtype.ico", msi_table(self.package, "Icon"))

    def test_summary_has_the_commits_date_and_a_package_code_of_its_own_bytes(self):
        summary = subprocess.run(["msiinfo", "suminfo", self.package], capture_output=True,
                                 text=True, check=True, env={**os.environ, "TZ": "UTC"}).stdout
        self.assertIn("Created: Fri Jan  2 03:04:06 2026", summary)
        code = package_code(summary)
        self.assertNotIn(code, ("{00000000-0000-0000-0000-000000000000}", PRODUCT_CODE))
        # Another exe makes another package, with another code.
        other = package_from(flipped(BUILT_EXE), os.path.join(tempfile.mkdtemp(dir=WORK),
                                                               PACKAGE_NAME))
        self.assertNotEqual(package_code(subprocess.run(
            ["msiinfo", "suminfo", other], capture_output=True, text=True, check=True).stdout),
            code)

    def test_holds_the_zips_exe(self):
        self.assertEqual(packaged_exe(self.package), read(self.zip, "mkvtype.exe"))

    def test_verifies(self):
        result = verify(self.package)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn(f"product code {PRODUCT_CODE}", result.stdout)
        self.assertIn("package signature: none", result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "verified: every check holds")


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
            os.utime(os.path.join(CHECKOUT, name))
        locales = os.path.join(WORK, "locales")
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
        build = os.path.join(CHECKOUT, "build", "windows")
        # The preset sets the build type again; these options it leaves as they are.
        subprocess.run(["cmake", "--preset", "windows", "-DCMAKE_CXX_FLAGS_MINSIZEREL=-O1",
                        "-DCMAKE_EXE_LINKER_FLAGS=-Wl,--major-os-version=10"], cwd=CHECKOUT,
                       check=True, capture_output=True)
        subprocess.run(["cmake", "--build", build, "--target", "mkvtype"], check=True,
                       capture_output=True)
        try:
            path = make_release()
            self.assertSameRelease(path)
            with open(BUILT_EXE, "rb") as file:
                self.assertEqual(read(path, "mkvtype.exe"), file.read())
        finally:
            shutil.rmtree(os.path.join(CHECKOUT, "build"))


class Interrupted(unittest.TestCase):
    """Ctrl-C (SIGINT to the whole process group) or SIGTERM to release.sh alone, while
    osslsigncode waits for a time-stamp authority that never answers: the run stops everything
    it started and leaves nothing behind."""

    def test_stops_everything_and_leaves_nothing(self):
        silent = socket.socket()
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)  # takes connections, never answers
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/"
        try:
            for name, stop in (("Ctrl-C", lambda p: os.killpg(p.pid, signal.SIGINT)),
                               ("SIGTERM", lambda p: p.send_signal(signal.SIGTERM))):
                with self.subTest(name):
                    self.check_interrupted(url, stop)
        finally:
            silent.close()

    def check_interrupted(self, url, stop):
        temporary = tempfile.mkdtemp(dir=WORK, prefix="tmp-")
        output = os.path.join(tempfile.mkdtemp(dir=WORK), "dist")
        env = {**os.environ, "TMPDIR": temporary}
        process = subprocess.Popen(
            [script("release.sh"), *signed_by_pem("--timestamp", url), "--output", output],
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            start_new_session=True)
        try:
            self.assertTrue(wait_for(lambda: processes_using(temporary, "osslsigncode"), 60),
                            "osslsigncode never started")
            stop(process)
            _, stderr = process.communicate(timeout=20)
        finally:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
        self.assertNotEqual(process.returncode, 0)
        self.assertEqual(len(stderr.splitlines()), 1, stderr)
        self.assertTrue(wait_for(lambda: not processes_using(temporary), 10),
                        f"still running: {processes_using(temporary)}")
        self.assertEqual(os.listdir(temporary), [], "nothing left in the temporary folder")
        self.assertFalse(os.path.exists(output) and os.listdir(output), "nothing written")


def processes_using(path, program=""):
    """The command lines of running processes that name `path` (and `program`)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as file:
                line = file.read().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if path in line and program in line and int(pid) != os.getpid():
            found.append(line)
    return found


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


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
            # Windows refuses a signature by a certificate that may not sign code.
            ("CertificateNotForCodeSigning", signed_by_pem(signer="tsa"), None,
             "its extended key usage (Time Stamping) does not allow code signing"),
            ("PKCS12NotForCodeSigning", ["--pkcs12", KEYS.tsa_p12, "--url", URL], PASSWORD,
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
        checkout = make_checkout(tempfile.mkdtemp(dir=WORK))
        source = os.path.join(checkout, "release", "mkvtype.wxs")
        with open(source) as file:
            changed = file.read().replace(text, replacement)
        with open(source, "w") as file:
            file.write(changed)
        git("commit", "-q", "-a", "-m", "A package source wixl warns of", cwd=checkout)
        return checkout

    @staticmethod
    def checkout_with_a_change():
        checkout = make_checkout(tempfile.mkdtemp(dir=WORK))
        with open(os.path.join(checkout, "LICENSE"), "a") as file:
            file.write("A line nobody committed.\n")
        return checkout

    @staticmethod
    def tree_inside_another_repository():
        """A tree that is no checkout, in a folder of a repository of something else: its
        commit is not the tree's."""
        outer = tempfile.mkdtemp(dir=WORK)
        git("init", "-q", cwd=outer)
        git("commit", "-q", "--allow-empty", "-m", "Something else", cwd=outer)
        tree = os.path.join(outer, "mkvtype")
        copy_tree(tree)
        return tree

    def test_each_fails_cleanly(self):
        for name, args, password, message, *checkout in self.cases():
            with self.subTest(name):
                output = os.path.join(tempfile.mkdtemp(dir=WORK), "dist")
                result, _ = release(*args, password=password, output=output,
                                    checkout=checkout[0] if checkout else None)
                self.assertNotEqual(result.returncode, 0)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(output) and os.listdir(output),
                                 "nothing in the output folder")


class VerifyRefuses(unittest.TestCase):
    """Each is refused with exit status 1 and one FAILED line, the last one printed."""

    @classmethod
    def setUpClass(cls):
        cls.signed = made_release("signed")
        cls.unsigned = made_release("unsigned")

    def cases(self):
        def target(name):
            return os.path.join(tempfile.mkdtemp(dir=WORK), name)

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
        ca = ["--ca", KEYS.ca_pem]
        links = {name: os.path.join(CHECKOUT, path) for name, path in
                 (("LICENSE", "LICENSE"), ("README.txt", "release/README.txt"),
                  ("check-entries.cmd", "release/check-entries.cmd"))}
        return [
            ("FileThatSumsContradict", rewrite(self.signed, target("a.zip"), contradicted),
             ca, "FAILED checksums: README.txt does not match SHA256SUMS"),
            ("ExeChangedAfterSigning", rewrite(self.signed, target("b.zip"), changed_and_resummed),
             ca, "FAILED signature: mkvtype.exe's signature does not verify"),
            ("SignatureOfAnotherAuthority", self.signed, ["--ca", KEYS.foreign_ca_pem],
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
                     resigned("sign", "-nest", "-certs", KEYS.foreign_ca_pem, "-key",
                              KEYS.foreign_ca_key, "-h", "sha256")),
             ca, "FAILED signature: mkvtype.exe: it carries a second, nested signature"),
            ("BytesInTheCertificateTable", rewrite(self.signed, target("i.zip"), padded_table),
             ca, "FAILED signature: mkvtype.exe: its certificate table holds 16 bytes beyond the "
             "signature and its zero padding"),
            ("UnauthenticatedBlob",
             rewrite(self.signed, target("j.zip"), resigned("add", "-addUnauthenticatedBlob")),
             ca, "other than a time stamp, which anyone could have added"),
            ("SignerNotForCodeSigning",
             rewrite(self.unsigned, target("k.zip"),
                     resigned("sign", "-certs", KEYS.tsa_pem, "-key", KEYS.tsa_key, "-h",
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
                         ("sign", "-certs", KEYS.foreign_ca_pem, "-key", KEYS.foreign_ca_key,
                          "-h", "sha256")),
             ca, "FAILED package signature: the package's signature does not verify against"),
            ("PackageWithASecondNestedSignature",
             copied_with(package_of(self.signed), target(PACKAGE_NAME),
                         ("sign", "-nest", "-certs", KEYS.foreign_ca_pem, "-key",
                          KEYS.foreign_ca_key, "-h", "sha256")),
             ca, "FAILED package signature: the package: it carries a second, nested signature"),
            ("UnsignedPackageWhereASignatureIsAskedFor", package_of(self.unsigned), ca,
             "FAILED package signature: the package is not signed"),
            ("PackageOfAnotherExe", package_from(flipped(BUILT_EXE), target(PACKAGE_NAME)),
             [], "FAILED source: mkvtype.exe (sha256"),
            ("PackageOfAnotherDay",
             package_from(BUILT_EXE, target(PACKAGE_NAME), date=COMMIT_EPOCH + 86400), [],
             "FAILED package: it was made on Sat Jan  3 03:04:06 2026 UTC"),
            ("PackageInstallingMore", package_installing_more(target(PACKAGE_NAME)), [],
             "FAILED package: it installs Program Files/mkvtype/mkvtype.exe, "
             "Program Files/mkvtype/readme.ico, not Program Files/mkvtype/mkvtype.exe alone"),
            ("PackageOfAnotherVersion",
             package_from(BUILT_EXE, target(PACKAGE_NAME), version="1.0.1.0"), [],
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


def msi_changed(path, target, query):
    shutil.copy(path, target)
    subprocess.run(["msibuild", target, "-q", query], check=True, capture_output=True)
    return target


def copied_with(path, target, command):
    """A copy of the file (an exe or a package) with osslsigncode's `command` applied."""
    subprocess.run(["osslsigncode", *command, "-in", path, "-out", target], check=True,
                   capture_output=True)
    return target


def flipped(exe_path):
    changed = os.path.join(tempfile.mkdtemp(dir=WORK), "mkvtype.exe")
    with open(changed, "wb") as file:
        file.write(with_a_byte_of_code_flipped(contents(exe_path)))
    return changed


def package_code(summary):
    """The package code, from what `msiinfo suminfo` says."""
    return re.search(r"Revision number \(UUID\): (\S+)", summary).group(1)


def package_from(exe_path, target, version="1.0.0.0", date=COMMIT_EPOCH, root=None):
    """A package made by the checkout's own packaging script, from the WiX source and icon of
    `root` (the checkout's by default); by default, the one release.sh makes of an unsigned
    exe."""
    sys.path.insert(0, os.path.join(CHECKOUT, "scripts"))
    from releasekit import package
    package.build(exe_path, version, date, target, root=root or CHECKOUT)
    return target


def package_installing_more(target):
    """A package made as release.sh makes it, from a WiX source with one file more."""
    root = tempfile.mkdtemp(dir=WORK)
    for name in ("release/mkvtype.wxs", "app/icon/mkvtype.ico"):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        shutil.copy(os.path.join(CHECKOUT, name), os.path.join(root, name))
    source = os.path.join(root, "release", "mkvtype.wxs")
    with open(source) as file:
        text = file.read().replace(
            'KeyPath="yes"/>', 'KeyPath="yes"/>\n<File Id="more" Name="readme.ico" '
            'Source="mkvtype.ico"/>')
    with open(source, "w") as file:
        file.write(text)
    return package_from(BUILT_EXE, target, root=root)


def osslsigncode_applied(exe_bytes, *command):
    """The exe with osslsigncode's `command` applied."""
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        before = os.path.join(folder, "in.exe")
        with open(before, "wb") as file:
            file.write(exe_bytes)
        return contents(copied_with(before, os.path.join(folder, "out.exe"), command))


def with_bytes_in_the_certificate_table(exe_bytes):
    """16 bytes more in the certificate table, after the signature: the signature still
    verifies, since the table is outside what it covers."""
    pe = pefile.PE(data=exe_bytes, fast_load=True)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    directory.Size += 16
    return pe.write() + b"hidden, unsigned"


def with_links(zip_path, target, links):
    """The zip with files made symbolic-link entries to `links`' targets, and SHA256SUMS of
    what the links lead to, as a verifier that follows them would read."""
    files = files_of(zip_path)
    linked = dict(files)
    for name, destination in links.items():
        with open(destination, "rb") as file:
            linked[name] = file.read()
    files["SHA256SUMS"] = sums_of({k: v for k, v in linked.items() if k != "SHA256SUMS"}).encode()
    with zipfile.ZipFile(target, "w") as archive:
        for name, data in files.items():
            info = zipfile.ZipInfo(f"{FOLDER}/{name}")
            info.create_system = 3
            if name in links:
                info.external_attr = (stat.S_IFLNK | 0o777) << 16
                data = links[name].encode()
            else:
                info.external_attr = (stat.S_IFREG | 0o644) << 16
            archive.writestr(info, data)
    return target


def only_the_folder(target):
    with zipfile.ZipFile(target, "w") as archive:
        archive.writestr(zipfile.ZipInfo(f"{FOLDER}/"), b"")
    return target


def encrypted(zip_path, target):
    """The zip as `zip -P` packs it: every file encrypted with a password."""
    with tempfile.TemporaryDirectory(dir=WORK) as folder:
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(folder)
        subprocess.run(["zip", "-q", "-r", "-P", "secret", target, FOLDER], cwd=folder,
                       check=True)
    return target


def with_extra_entry(zip_path, target, name):
    shutil.copy(zip_path, target)
    with zipfile.ZipFile(target, "a") as archive:
        archive.writestr(name, b"")
    return target


class SignedExeUnderWine(unittest.TestCase):
    """The signed exe still does its job, and the signed package installs it: end-to-end
    cases, in the win32 prefix that the end-to-end tests made."""

    @classmethod
    def setUpClass(cls):
        cls.prefix = os.environ["MKVTYPE_WINE_PREFIX"]
        cls.probe = os.environ["MKVTYPE_REGPROBE"]
        cls.zip = made_release("signed")
        cls.exe = os.path.join(tempfile.mkdtemp(dir=WORK), "mkvtype.exe")
        with open(cls.exe, "wb") as file:
            file.write(read(cls.zip, "mkvtype.exe"))
        sys.path.insert(0, os.path.join(CHECKOUT, "tests", "e2e"))
        import wine_cases
        wine_cases.keep_to_the_prefixs_cpu(cls.prefix)

    def test_does_its_job(self):
        import wine_cases
        with contextlib.redirect_stdout(io.StringIO()) as said:
            wine_cases.run(self.prefix, "PlayerInstalledClassMissing", self.exe, self.probe)
        self.assertIn("registry as expected", said.getvalue())

    def test_signed_package_installs(self):
        import package_cases
        with contextlib.redirect_stdout(io.StringIO()) as said:
            package_cases.run(self.prefix, "InstallWithThePlayer", self.exe, self.probe,
                              os.environ["MKVTYPE_MSIPROBE"], {"1.0.0.0": package_of(self.zip)})
        self.assertIn("as expected", said.getvalue())


if __name__ == "__main__":
    unittest.main(verbosity=2)
