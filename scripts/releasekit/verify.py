#!/usr/bin/python3
"""Checks a downloaded release, the zip or the Windows Installer package, the way a careful user
would, and says what it checked.

    scripts/verify-release.sh ZIP_OR_MSI [--ca CA.pem]

For the zip:
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

For the package:
- it is the package of this checkout's version, with its product and upgrade codes, made on
  the date of this checkout's commit;
- it carries exactly one valid signature, checked as the exe's is (or none, without --ca);
- the one file it installs, mkvtype.exe, passes the exe's checks above, and without its
  signature is what the commit builds;
- the package is, byte for byte, what this checkout's release.sh makes from that exe, once the
  package's own signature is set aside: the signature is taken off the package and put on a
  package made anew, which must then be the same bytes.

Exits 0 only when all of it holds; otherwise prints one line "FAILED <check>: <reason>" and
exits 1 (2 for a wrong call).
"""
import argparse
import calendar
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time

if __name__ == "__main__":  # run as a script: its package is found from scripts/, not beside it
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from releasekit import archive, authenticode, build, buildinfo, checkout, layout  # noqa: E402
from releasekit import package  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

SYSTEM_AUTHORITIES = "/etc/ssl/certs/ca-certificates.crt"
USAGE = "usage: scripts/verify-release.sh ZIP_OR_MSI [--ca CA.pem]"


class Failed(Exception):
    def __init__(self, check, reason):
        super().__init__(f"FAILED {check}: {reason}")


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, check=False, errors="replace",
                          env={**os.environ, "LC_ALL": "C"}, **options)


def read_file(path):
    with open(path, "rb") as file:
        return file.read()


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


def check_signature(path, signature, ca, what, label=""):
    """Checks `signature`, the one found in file `path` (None when it has none), as osslsigncode
    and the structure checks see it; prints what it is. Returns whether there is one."""
    trusted = ca or "the system's certificate authorities"
    try:
        if signature is not None:
            authenticode.check_signed_data(signature)
    except authenticode.Refused as refused:
        raise Failed(f"{label}signature", f"{what}: {refused}") from None
    if signature is None:
        if ca:
            raise Failed(f"{label}signature", f"{what} is not signed, and --ca asks for a "
                         "signature")
        print(f"{label}signature: none (an unsigned release)")
        return False

    authorities = ca or SYSTEM_AUTHORITIES
    result = run("osslsigncode", "verify", "-CAfile", authorities, "-TSA-CAfile", authorities,
                 "-in", path, timeout=120)
    report = result.stdout + result.stderr
    lines = report.splitlines()
    if (result.returncode != 0 or lines.count("Signature verification: ok") != 1
            or "Signature verification: failed" in lines):
        if "MISMATCH" in report or "Signature mismatch" in report:
            reason = f"{what} was changed after it was signed"
        else:
            said = re.search(r"(?:Verify error|Error): (.*)", report)
            reason = said.group(1) if said else "osslsigncode does not say why"
        raise Failed(f"{label}signature", f"{what}'s signature does not verify against "
                     f"{trusted}: {archive.shown(reason)}")
    signer = re.search(r"Signer #0:\n\s*Subject: (.*)", report)
    print(f"{label}signature: valid SHA-256 Authenticode, by "
          f"{archive.shown(signer.group(1) if signer else 'an unnamed signer')}, chains to "
          f"{trusted}")
    if "Timestamp is not available" in report:
        print(f"{label}time stamp: none (the signature holds while the certificate does)")
    elif "Timestamp Server Signature verification: ok" in lines:
        # osslsigncode 2.9 says "Timestamp time:", 2.5 (Debian 12) "The signature is timestamped:".
        stamped = re.search(r"^\s*(?:Timestamp time|The signature is timestamped): (.*)$",
                            report, re.M)
        print(f"{label}time stamp: valid, "
              f"{stamped.group(1) if stamped else 'of no stated time'}")
    else:
        raise Failed(f"{label}time stamp", f"{what}'s does not verify against {trusted}")
    return True


def check_exe(exe_path, ca):
    """The exe's signature; returns the exe without it."""
    with open(exe_path, "rb") as file:
        exe = file.read()
    try:
        signature = authenticode.pe_signature(exe)
    except authenticode.Refused as refused:
        raise Failed("signature", f"mkvtype.exe: {refused}") from None
    if not check_signature(exe_path, signature, ca, "mkvtype.exe"):
        return exe
    unsigned_path = exe_path + ".unsigned"
    if run("osslsigncode", "remove-signature", "-in", exe_path, "-out",
           unsigned_path).returncode != 0:
        raise Failed("signature", "osslsigncode could not take it off mkvtype.exe")
    with open(unsigned_path, "rb") as file:
        return file.read()


def head_commit():
    """This checkout's commit and its time."""
    found = checkout.head(ROOT) if checkout.is_its_own(ROOT) else None
    if found is None:
        raise Failed("source", f"{ROOT} is not a git checkout of its own, so there is no commit "
                     "to build and compare with")
    return found


def build_commit(commit, work):
    """This checkout's commit, built in a fresh folder; returns the copy's folder."""
    copy = os.path.join(work, "source")
    with open(os.path.join(work, "build.log"), "w+", errors="replace") as log:
        try:
            build.build(ROOT, copy, log, commit=True)
            return copy
        except build.Failed:
            log.seek(0)
            print(log.read(), end="")
    raise Failed("source", f"commit {commit} does not build (its output is above)")


def compare_exe(unsigned_exe, signed, copy, commit, hint=""):
    with open(os.path.join(copy, "build", "windows", "mkvtype.exe"), "rb") as file:
        rebuilt = file.read()
    what = "mkvtype.exe without its signature" if signed else "mkvtype.exe"
    if unsigned_exe != rebuilt:
        raise Failed("source", f"{what} (sha256 {sha256(unsigned_exe)}) is not what commit "
                     f"{commit} builds (sha256 {sha256(rebuilt)}){hint}")
    return what, sha256(rebuilt)


def check_source(files, unsigned_exe, signed, work):
    names = layout.Layout(ROOT)
    try:
        record = buildinfo.parse(files["BUILDINFO"].decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise Failed("buildinfo", f"BUILDINFO {archive.shown(str(error))}") from None
    commit, _ = head_commit()
    if record["Version"] != names.version or record["Git-Commit"] != commit:
        raise Failed("buildinfo", f"the release is version {archive.shown(record['Version'])} "
                     f"from commit {archive.shown(record['Git-Commit'])}; this checkout is "
                     f"{names.version} at {commit}: check out the release's commit first")

    copy = build_commit(commit, work)
    here = buildinfo.parse(buildinfo.record(os.path.join(copy, "build", "windows"), commit,
                                            names.version))
    differences = buildinfo.tool_differences(record["Build-Tools"], here["Build-Tools"])
    if differences:
        raise Failed("build tools", "this machine cannot rebuild the release's exe, since its "
                     "build tools differ from the release's (install the release's versions to "
                     "compare): " + "; ".join(map(archive.shown, differences)))
    print(f"build tools: this machine's are the release's ({len(here['Build-Tools'])} packages, "
          "as BUILDINFO lists them)")

    what, rebuilt_sum = compare_exe(unsigned_exe, signed, copy, commit)
    for path in layout.CHECKOUT_FILES:
        with open(os.path.join(copy, path), "rb") as file:
            if files[os.path.basename(path)] != file.read():
                raise Failed("source", f"{os.path.basename(path)} is not commit {commit}'s {path}")
    print(f"source: {what} is what commit {commit} builds (sha256 {rebuilt_sum}); the "
          "other files are that commit's")


def verify_zip(zip_path, ca, work):
    names = layout.Layout(ROOT)
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
    unsigned_exe = check_exe(exe_path, ca)
    check_source(files, unsigned_exe, unsigned_exe != files["mkvtype.exe"], work)


def package_properties(path):
    exported = run("msiinfo", "export", path, "Property")
    if exported.returncode != 0:
        raise Failed("package", f"{archive.shown(os.path.basename(path))} is not a Windows "
                     "Installer package that msiinfo can read")
    return dict(line.split("\t", 1) for line in exported.stdout.splitlines()[3:] if "\t" in line)


def verify_package(path, ca, work):
    names = layout.Layout(ROOT)
    shown_name = archive.shown(os.path.basename(path))
    properties = package_properties(path)
    expected = {"ProductName": "mkvtype", "ProductVersion": names.version,
                "ProductCode": package.product_code(names.version),
                "UpgradeCode": package.braced(package.upgrade_code())}
    for name, value in expected.items():
        if properties.get(name) != value:
            found = archive.shown(properties.get(name, "not set"))
            raise Failed("package", f"its {name} is {found}, not {value}")
    commit, epoch = head_commit()
    made = re.search(r"^Created: (.*)$", run("msiinfo", "suminfo", path).stdout, re.M)
    try:
        made = calendar.timegm(time.strptime(made.group(1), "%a %b %d %H:%M:%S %Y"))
    except (AttributeError, ValueError):
        raise Failed("package", "its summary information gives no date it was made") from None
    if made != epoch:
        raise Failed("package", f"it was made on {time.asctime(time.gmtime(made))} UTC, and "
                     f"this checkout's commit {commit} is of {time.asctime(time.gmtime(epoch))} "
                     "UTC: check out the release's commit first")
    print(f"package: {shown_name} is the Windows Installer package of mkvtype {names.version}, "
          f"product code {expected['ProductCode']}, made on the date of commit {commit}")

    try:
        signature = authenticode.package_signature(path)
    except authenticode.Refused as refused:
        raise Failed("package signature", f"the package: {refused}") from None
    signed_package = check_signature(path, signature, ca, "the package", "package ")

    # Listed before anything is unpacked, so that no name of the package's choosing (one that
    # climbs out of the folder, say) is ever written.
    listed = run("msiextract", "--list", path)
    installed = listed.stdout.splitlines() if listed.returncode == 0 else []
    if installed != ["Program Files/mkvtype/mkvtype.exe"]:
        what = ", ".join(map(archive.shown, installed)) or "nothing"
        raise Failed("package", f"it installs {what}, not Program Files/mkvtype/mkvtype.exe "
                     "alone")
    unpacked = os.path.join(work, "unpacked")
    if run("msiextract", "--directory", unpacked, path).returncode != 0:
        raise Failed("package", "msiextract cannot unpack it")
    exe_path = os.path.join(unpacked, installed[0])
    if not os.path.isfile(exe_path) or os.path.islink(exe_path):
        raise Failed("package", "its mkvtype.exe does not unpack as a plain file")
    with open(exe_path, "rb") as file:
        shipped_exe = file.read()
    unsigned_exe = check_exe(exe_path, ca)
    copy = build_commit(commit, work)
    what, rebuilt_sum = compare_exe(unsigned_exe, unsigned_exe != shipped_exe, copy, commit,
                                    "; the zip's BUILDINFO names the tools that built it")
    print(f"source: {what} is what commit {commit} builds (sha256 {rebuilt_sum})")

    remade = os.path.join(work, "remade.msi")
    try:
        package.build(exe_path, names.version, epoch, remade, root=copy)
    except package.Failed as failed:
        raise Failed("package", f"this checkout cannot make the package: {failed}") from None
    if signed_package:
        der = os.path.join(work, "package-signature.der")
        with open(der, "wb") as file:
            file.write(signature)
        # osslsigncode checks the chain as it attaches and may say so; the bytes decide.
        run("osslsigncode", "attach-signature", "-sigin", der, "-in", remade, "-out",
            remade + ".signed")
        remade += ".signed"
    aside = ", its own signature set aside," if signed_package else ""
    with open(path, "rb") as shipped:
        if not os.path.exists(remade) or shipped.read() != read_file(remade):
            raise Failed("package", f"{shown_name} is not{aside} what commit {commit} makes from "
                         "its mkvtype.exe")
    print(f"package: {shown_name} is{aside} what commit {commit} makes from its mkvtype.exe")


def verify(path, ca, work):
    if not os.path.isfile(path):
        raise Failed("release", f"{archive.shown(path)} is not a file")
    with open(path, "rb") as file:
        magic = file.read(8)
    if magic == authenticode.OLE_MAGIC:
        verify_package(path, ca, work)
    else:
        verify_zip(path, ca, work)
    print("verified: every check holds")


def main(arguments):
    parser = argparse.ArgumentParser(prog="verify-release.sh", add_help=False,
                                     allow_abbrev=False, exit_on_error=False)
    parser.add_argument("release", nargs="?")
    parser.add_argument("--ca")
    try:
        options, rest = parser.parse_known_args(arguments)
    except argparse.ArgumentError:
        return usage_error("--ca needs a file")
    unknown = [argument for argument in rest if argument.startswith("-")]
    if unknown:
        return usage_error(f"unknown option: {unknown[0]}")
    if rest:
        return usage_error("one file at a time")
    if options.release is None:
        return usage_error("which zip or package?")
    ca = options.ca
    if ca is not None and not (os.path.isfile(ca) and os.access(ca, os.R_OK)):
        return usage_error(f"cannot read CA file {ca}")
    with tempfile.TemporaryDirectory(prefix="verify-release-") as work:
        try:
            verify(options.release, ca, work)
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
