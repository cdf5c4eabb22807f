#!/usr/bin/python3
"""Checks a downloaded release zip the way a careful user would, and says what it checked.

    scripts/verify-release.sh ZIP [--ca CA.pem]

- the zip holds one folder mkvtype-VERSION/ with exactly the release's six files, each a plain
  file (no links, no encryption, nothing else);
- SHA256SUMS lists every other file, and every file matches it;
- a signed mkvtype.exe carries exactly one valid Authenticode signature, by a certificate
  allowed to sign code, that chains to a certificate of CA.pem (or to the system's certificate
  authorities without --ca), with nothing beside it but at most one valid time stamp; with
  --ca, an unsigned exe fails;
- BUILDINFO names this checkout's commit and this machine's build tools;
- mkvtype.exe, without its signature, is byte for byte what that commit builds in a fresh
  folder, and the other files are that commit's.

Exits 0 only when all of it holds; otherwise prints one line "FAILED <check>: <reason>" and
exits 1 (2 for a wrong call).
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from releasekit import archive, authenticode, buildinfo, layout  # noqa: E402

SYSTEM_AUTHORITIES = "/etc/ssl/certs/ca-certificates.crt"
USAGE = "usage: scripts/verify-release.sh ZIP [--ca CA.pem]"


class Failed(Exception):
    def __init__(self, check, reason):
        super().__init__(f"FAILED {check}: {reason}")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=False, errors="replace",
                          env={**os.environ, "LC_ALL": "C"}, **options)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def check_sums(files):
    """SHA256SUMS, line by line in the form sha256sum writes, over every other file."""
    others = sorted(name for name in files if name != layout.SUMS)
    listed = {}
    for line in files[layout.SUMS].decode("utf-8", "replace").split("\n")[:-1]:
        found = re.fullmatch(r"([0-9a-f]{64}) [ *](.+)", line)
        if not found or found.group(2) in listed:
            raise Failed("checksums", f"SHA256SUMS has a line that is not one checksum of one "
                         f"file: {archive.shown(line)}")
        listed[found.group(2)] = found.group(1)
    if sorted(listed) != others:
        raise Failed("checksums", f"SHA256SUMS lists {' '.join(map(archive.shown, listed))}, "
                     f"not {' '.join(others)}")
    differing = [name for name in others if sha256(files[name]) != listed[name]]
    if differing:
        raise Failed("checksums", f"{' '.join(differing)} does not match SHA256SUMS")
    print(f"checksums: SHA256SUMS matches {' '.join(others)}")


def check_signature(exe_path, exe, ca):
    """Prints what the signature is; returns the exe without it."""
    trusted = ca or "the system's certificate authorities"
    try:
        signature = authenticode.pe_signature(exe)
        if signature is not None:
            authenticode.check_signed_data(signature)
    except authenticode.Refused as refused:
        raise Failed("signature", f"mkvtype.exe: {refused}") from None
    if signature is None:
        if ca:
            raise Failed("signature", "mkvtype.exe is not signed, and --ca asks for a signature")
        print("signature: none (an unsigned release)")
        return exe

    authorities = ca or SYSTEM_AUTHORITIES
    result = run("osslsigncode", "verify", "-CAfile", authorities, "-TSA-CAfile", authorities,
                 "-in", exe_path, timeout=120)
    report = result.stdout + result.stderr
    lines = report.splitlines()
    if (result.returncode != 0 or lines.count("Signature verification: ok") != 1
            or "Signature verification: failed" in lines):
        if "MISMATCH" in report:
            reason = "mkvtype.exe was changed after it was signed"
        else:
            said = re.search(r"(?:Verify error|Error): (.*)", report)
            reason = said.group(1) if said else "osslsigncode does not say why"
        raise Failed("signature", f"mkvtype.exe's signature does not verify against {trusted}: "
                     f"{archive.shown(reason)}")
    signer = re.search(r"Signer #0:\n\s*Subject: (.*)", report)
    print(f"signature: valid SHA-256 Authenticode, by "
          f"{archive.shown(signer.group(1) if signer else 'an unnamed signer')}, chains to "
          f"{trusted}")
    if "Timestamp is not available" in report:
        print("time stamp: none (the signature holds while the certificate does)")
    elif "Timestamp Server Signature verification: ok" in lines:
        # osslsigncode 2.9 says "Timestamp time:", 2.5 (Debian 12) "The signature is timestamped:".
        stamped = re.search(r"^\s*(?:Timestamp time|The signature is timestamped): (.*)$",
                            report, re.M)
        print(f"time stamp: valid, {stamped.group(1) if stamped else 'of no stated time'}")
    else:
        raise Failed("time stamp", f"does not verify against {trusted}")

    unsigned_path = exe_path + ".unsigned"
    if run("osslsigncode", "remove-signature", "-in", exe_path, "-out",
           unsigned_path).returncode != 0:
        raise Failed("signature", "osslsigncode could not take it off mkvtype.exe")
    with open(unsigned_path, "rb") as file:
        return file.read()


def head_commit():
    top = run("git", "-C", ROOT, "rev-parse", "--show-toplevel")
    if top.returncode != 0 or os.path.realpath(top.stdout.strip()) != os.path.realpath(ROOT):
        raise Failed("source", f"{ROOT} is not a git checkout of its own, so there is no commit "
                     "to build and compare with")
    return run("git", "-C", ROOT, "rev-parse", "HEAD").stdout.strip()


def check_source(files, unsigned_exe, signed, work):
    names = layout.Layout(ROOT)
    try:
        record = buildinfo.parse(files["BUILDINFO"].decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise Failed("buildinfo", f"BUILDINFO {archive.shown(str(error))}") from None
    commit = head_commit()
    if record["Version"] != names.version or record["Git-Commit"] != commit:
        raise Failed("buildinfo", f"the release is version {archive.shown(record['Version'])} "
                     f"from commit {archive.shown(record['Git-Commit'])}; this checkout is "
                     f"{names.version} at {commit}: check out the release's commit first")

    copy = os.path.join(work, "source")
    built = run(os.path.join(ROOT, "scripts", "build-copy.sh"), "--commit", ROOT, copy)
    if built.returncode != 0:
        print(built.stderr, end="")
        raise Failed("source", f"commit {commit} does not build (its output is above)")
    here = buildinfo.parse(buildinfo.record(os.path.join(copy, "build", "windows"), commit,
                                            names.version))
    differences = buildinfo.tool_differences(record["Build-Tools"], here["Build-Tools"])
    if differences:
        raise Failed("build tools", "this machine cannot rebuild the release's exe, since its "
                     "build tools differ from the release's (install the release's versions to "
                     "compare): " + "; ".join(map(archive.shown, differences)))
    print(f"build tools: this machine's are the release's ({len(here['Build-Tools'])} packages, "
          "as BUILDINFO lists them)")

    with open(built.stdout.strip(), "rb") as file:
        rebuilt = file.read()
    what = "mkvtype.exe without its signature" if signed else "mkvtype.exe"
    if unsigned_exe != rebuilt:
        raise Failed("source", f"{what} (sha256 {sha256(unsigned_exe)}) is not what commit "
                     f"{commit} builds (sha256 {sha256(rebuilt)})")
    for path in layout.CHECKOUT_FILES:
        with open(os.path.join(copy, path), "rb") as file:
            if files[os.path.basename(path)] != file.read():
                raise Failed("source", f"{os.path.basename(path)} is not commit {commit}'s {path}")
    print(f"source: {what} is what commit {commit} builds (sha256 {sha256(rebuilt)}); the "
          "other files are that commit's")


def verify(zip_path, ca, work):
    names = layout.Layout(ROOT)
    if not os.path.isfile(zip_path):
        raise Failed("zip", f"{archive.shown(zip_path)} is not a file")
    try:
        files = archive.read_release(zip_path, names.folder, names.files)
    except archive.Refused as refused:
        raise Failed("zip", str(refused)) from None
    print(f"zip: {archive.shown(os.path.basename(zip_path))} holds {names.folder}/ with its "
          f"{len(names.files)} files, all plain files")
    check_sums(files)
    exe_path = os.path.join(work, "mkvtype.exe")
    with open(exe_path, "wb") as file:
        file.write(files["mkvtype.exe"])
    unsigned_exe = check_signature(exe_path, files["mkvtype.exe"], ca)
    check_source(files, unsigned_exe, unsigned_exe != files["mkvtype.exe"], work)
    print("verified: every check holds")


def main(argv):
    zip_path = ca = None
    arguments = list(argv)
    while arguments:
        argument = arguments.pop(0)
        if argument == "--ca":
            if not arguments:
                return usage_error("--ca needs a file")
            ca = arguments.pop(0)
        elif argument.startswith("-"):
            return usage_error(f"unknown option: {argument}")
        elif zip_path is not None:
            return usage_error("one zip at a time")
        else:
            zip_path = argument
    if zip_path is None:
        return usage_error("which zip?")
    if ca is not None and not (os.path.isfile(ca) and os.access(ca, os.R_OK)):
        return usage_error(f"cannot read CA file {ca}")
    with tempfile.TemporaryDirectory(prefix="verify-release-") as work:
        try:
            verify(zip_path, ca, work)
        except Failed as failed:
            print(failed)
            return 1
        except Exception as error:  # every refusal says so, even one nobody foresaw
            print(f"FAILED verify-release: {archive.shown(repr(error))}")
            return 1
    return 0


def usage_error(message):
    print(f"verify-release.sh: {message} ({USAGE})", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
