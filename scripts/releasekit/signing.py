"""The release's signing key, checked before anything is signed, and Authenticode signing with
it by osslsigncode.

The password of a PKCS#12 file or of an encrypted key comes only from the environment variable
MKVTYPE_SIGN_PASSWORD. It reaches openssl through its environment (env:NAME) and osslsigncode
through a pipe: never a command line, never a file.
"""
import os
import re
import subprocess

from releasekit import processes

PASSWORD_VARIABLE = "MKVTYPE_SIGN_PASSWORD"
# Long enough for a slow time-stamp authority; a silent one must not hold the release forever.
SIGNING_TIMEOUT = 120


class Refused(Exception):
    """Why the key cannot sign the release, or the signing failed, as one line."""


def _password():
    return os.environ.get(PASSWORD_VARIABLE, "")


def _openssl(*arguments, input=None):
    """openssl's result, with the password where -passin env: asks for it."""
    return subprocess.run(["openssl", *arguments], input=input, capture_output=True,
                          env={**os.environ, PASSWORD_VARIABLE: _password()}, check=False)


def _piped(first, second):
    """What openssl `second` makes of what openssl `first` writes, or None where either fails:
    a private key passes from one to the other through a pipe only, never a file."""
    environment = {**os.environ, PASSWORD_VARIABLE: _password()}
    with subprocess.Popen(["openssl", *first], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=environment) as writer:
        reader = subprocess.run(["openssl", *second], stdin=writer.stdout, capture_output=True,
                                check=False)
        writer.stdout.close()
    return reader.stdout if writer.returncode == 0 and reader.returncode == 0 else None


def _readable_file(what, path):
    if not os.path.exists(path):
        raise Refused(f"{what} {path}: no such file")
    if not os.path.isfile(path):
        raise Refused(f"{what} {path}: not a file")
    if not os.access(path, os.R_OK):
        raise Refused(f"{what} {path}: not readable")


def _text(output):
    """A tool's output as a shell's $(...) takes it: its final line breaks dropped."""
    return output.decode("utf-8", "replace").rstrip("\n")


def _require_code_signing(what, certificate):
    """Windows accepts a signature only from a certificate that may sign code: one with no
    extended key usage, or with Code Signing among its usages."""
    shown = _openssl("x509", "-noout", "-ext", "extendedKeyUsage", input=certificate)
    if shown.returncode != 0:
        raise Refused(f"{what}: cannot read its extended key usage")
    lines = _text(shown.stdout).split("\n")
    if lines != [""] and not any(re.fullmatch(r"\s*(.*, )?Code Signing(, .*)?", line)
                                 for line in lines):
        usages = " ".join(line.lstrip(" ") for line in lines[1:])
        raise Refused(f"{what}: its extended key usage ({usages}) does not allow code signing")


def _opened_with_password(arguments, what, wrong_password_says, unreadable):
    """openssl's result for `arguments`, which open the file `what` with the password; where
    they fail, whether the password was wrong, by what openssl says, or the file unreadable."""
    result = _openssl(*arguments)
    if result.returncode != 0:
        said = (result.stdout + result.stderr).decode("utf-8", "replace")
        if any(words in said for words in wrong_password_says):
            raise Refused(f"{what}: wrong password ({PASSWORD_VARIABLE})")
        raise Refused(f"{what}: {unreadable}")
    return result


class Key:
    """A key that may sign the release, as osslsigncode is told to use it."""

    def __init__(self, arguments):
        self.arguments = arguments

    @classmethod
    def from_pem(cls, certificate, key):
        _readable_file("certificate", certificate)
        _readable_file("key", key)
        public = _openssl("x509", "-in", certificate, "-noout", "-pubkey")
        if public.returncode != 0:
            raise Refused(f"certificate {certificate}: not a PEM certificate")
        with open(certificate, "rb") as file:
            _require_code_signing(f"certificate {certificate}", file.read())
        private = _opened_with_password(
            ["pkey", "-in", key, "-passin", f"env:{PASSWORD_VARIABLE}", "-pubout"], f"key {key}",
            ("bad decrypt", "maybe wrong password"), "not a private key that openssl can read")
        if _text(public.stdout) != _text(private.stdout):
            raise Refused(f"key {key} does not belong to certificate {certificate}")
        return cls(["-certs", certificate, "-key", key])

    @classmethod
    def from_pkcs12(cls, path):
        what = f"PKCS#12 file {path}"
        _readable_file("PKCS#12 file", path)
        reading = ["pkcs12", "-in", path, "-passin", f"env:{PASSWORD_VARIABLE}"]
        _opened_with_password([*reading, "-noout"], what,
                              ("mac verify failure", "invalid password"),
                              "not a PKCS#12 file that openssl can read")
        certificate = _piped([*reading, "-nokeys", "-clcerts"], ["x509"])
        if certificate is None:
            raise Refused(f"{what}: holds no certificate")
        public = _openssl("x509", "-noout", "-pubkey", input=certificate)
        _require_code_signing(what, certificate)
        private = _piped([*reading, "-nocerts", "-nodes"], ["pkey", "-pubout"])
        if private is None:
            raise Refused(f"{what}: holds no private key")
        if _text(public.stdout) != _text(private):
            raise Refused(f"{what}: its key does not belong to its certificate")
        return cls(["-pkcs12", path])

    def sign(self, source, target, what, url, timestamp=None):
        """Signs `source` into `target`: SHA-256, with the program's name and its home page
        `url`, time-stamped by the authority at `timestamp` where given. `what` names the file
        in messages."""
        # osslsigncode reads no password from an empty pipe, so an unprotected key is given
        # none.
        password = _password()
        command = ["osslsigncode", "sign", *(["-readpass", "/dev/stdin"] if password else []),
                   *self.arguments, "-h", "sha256", "-n", "mkvtype", "-i", url,
                   *(["-ts", timestamp] if timestamp else []), "-in", source, "-out", target]
        result = processes.run(command, input=password.encode() if password else None,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               timeout=SIGNING_TIMEOUT)
        if result.returncode != 0:
            said = result.stdout.decode("utf-8", "replace")
            if timestamp and "timestamp" in said.lower():
                raise Refused(f"time-stamp authority {timestamp} did not answer with a time "
                              f"stamp for {what}")
            lines = [line for line in said.splitlines()
                     if not re.match(r"[0-9A-F]*:error:", line)]
            raise Refused(f"osslsigncode could not sign {what}: {lines[-1] if lines else ''}")
