#!/usr/bin/python3
"""Makes the release zip, dist/mkvtype-VERSION-x86.zip: one folder mkvtype-VERSION/ holding the
tool, check-entries.cmd, the Windows users' README, the license, BUILDINFO (the commit and the
build tools) and SHA256SUMS; and the Windows Installer package of the same exe,
dist/mkvtype-VERSION-x86.msi, for deployment tools.

    scripts/release.sh [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] [--url URL]
                       [--timestamp TSA_URL] [--output DIR]

--cert/--key or --pkcs12 sign mkvtype.exe and then the package (SHA-256 Authenticode, by
osslsigncode), with the program's name and --url, its home page, in the signature. The
certificate must allow code signing. The password of the PKCS#12 file, or of an encrypted key,
is taken from the environment variable MKVTYPE_SIGN_PASSWORD (see signing.py). --timestamp adds
an RFC 3161 time stamp from that authority, so that the signature outlives the certificate.

A release is built from the checkout's commit alone, in a fresh folder: a checkout with
uncommitted changes to tracked files is refused, and no build folder of the checkout is used.
Unsigned, the zip is the same bytes from the same commit and build tools, whenever and wherever
it is made, in any locale. A run that fails or is interrupted says why on one line, exits
non-zero, stops whatever it started, and writes nothing into the output folder. The package's
path is printed, then the zip's, last.
"""
import argparse
import filecmp
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

if __name__ == "__main__":  # run as a script: its package is found from scripts/, not beside it
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
from releasekit import authenticode, build, buildinfo, checkout, layout, package  # noqa: E402
from releasekit import processes, signing  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
USAGE = ("usage: scripts/release.sh [--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12] "
         "[--url URL] [--timestamp TSA_URL] [--output DIR]")
OPTIONS = ("--cert", "--key", "--pkcs12", "--url", "--timestamp", "--output")


class Failed(Exception):
    """Why the release stopped, as one line."""


class WrongCall(Exception):
    """What is wrong with the options, as one line."""


def read_options(arguments):
    parser = argparse.ArgumentParser(prog="release.sh", add_help=False, allow_abbrev=False,
                                     exit_on_error=False)
    for option in OPTIONS:
        parser.add_argument(option, default="")
    try:
        options, unknown = parser.parse_known_args(arguments)
    except argparse.ArgumentError as error:
        raise WrongCall(f"{error.argument_name} needs a value") from None
    if unknown:
        raise WrongCall(f"unknown option: {unknown[0]}")
    if options.pkcs12 and (options.cert or options.key):
        raise WrongCall("--pkcs12 goes without --cert and --key")
    if options.key and not options.cert:
        raise WrongCall("--key needs --cert")
    if options.cert and not options.key:
        raise WrongCall("--cert needs --key")
    options.signing = bool(options.pkcs12 or options.cert)
    if not options.signing and options.timestamp:
        raise WrongCall("--timestamp needs a signature (--cert and --key, or --pkcs12)")
    if not options.signing and options.url:
        raise WrongCall("--url goes into a signature (--cert and --key, or --pkcs12)")
    if options.signing and not options.url:
        raise WrongCall("signing needs --url, the program's home page, for the signature")
    options.output = options.output or os.path.join(ROOT, "dist")
    return options


def take_signing_key(options):
    """The key to sign with, checked before anything is built; None for an unsigned release."""
    try:
        if options.pkcs12:
            return signing.Key.from_pkcs12(options.pkcs12)
        if options.cert:
            return signing.Key.from_pem(options.cert, options.key)
    except signing.Refused as refused:
        raise Failed(str(refused)) from None
    return None


def take_layout():
    try:
        return layout.Layout(ROOT)
    except (OSError, ValueError):
        raise Failed("no version in CMakeLists.txt") from None


def take_commit():
    """The commit that is built, and its time, which is the time of every file in the zip:
    the same commit gives the same bytes. The working tree is never built."""
    if not checkout.is_its_own(ROOT):
        raise Failed(f"{ROOT} is not a git checkout of its own: a release is built from a commit")
    status = checkout.git(ROOT, "status", "--porcelain", "--untracked-files=no")
    if status.returncode != 0:
        raise Failed(f"cannot tell whether {ROOT} has uncommitted changes")
    if status.stdout:
        changed = " ".join(line[3:] for line in status.stdout.splitlines())
        raise Failed(f"{ROOT} has uncommitted changes to tracked files ({changed}): a release is "
                     "built from the commit alone, so commit or stash them first")
    built = checkout.head(ROOT)
    if built is None:
        raise Failed(f"{ROOT} has no commit to build")
    return built


def build_commit(stage, commit):
    """The commit, built in a fresh copy; returns the copy's folder and the exe's path."""
    copy = os.path.join(stage, "source")
    with open(os.path.join(stage, "build.log"), "w+", errors="replace") as log:
        try:
            return copy, build.build(ROOT, copy, log, commit=True)
        except build.Failed:
            log.seek(0)
            sys.stderr.write(log.read())
    raise Failed(f"building commit {commit} failed (its output is above)")


def sign(key, options, source, target, what):
    try:
        key.sign(source, target, what, options.url, options.timestamp)
    except signing.Refused as refused:
        raise Failed(str(refused)) from None


def check_signed(signed, what, stage, unsigned=None):
    """What was signed, checked as a verifier will: one signature and nothing beside it; and
    where `unsigned` is given, without its signature those bytes."""
    try:
        authenticode.check_file(signed)
    except authenticode.Refused as refused:
        raise Failed(f"the signed {what} would not verify: {refused}") from None
    if unsigned:
        stripped = os.path.join(stage, "unsigned.exe")
        result = processes.run(["osslsigncode", "remove-signature", "-in", signed, "-out",
                                stripped], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if result.returncode != 0 or not filecmp.cmp(stripped, unsigned, shallow=False):
            raise Failed(f"the signed {what}, less its signature, is not the build")


def gather_files(names, stage, copy, exe, commit, key, options):
    """The release's folder in `stage`, with every file the zip holds; returns its path."""
    folder = os.path.join(stage, names.folder)
    os.mkdir(folder)
    released_exe = os.path.join(folder, "mkvtype.exe")
    if key:
        sign(key, options, exe, released_exe, "mkvtype.exe")
        check_signed(released_exe, "mkvtype.exe", stage, unsigned=exe)
    else:
        shutil.copyfile(exe, released_exe)
    for path in layout.CHECKOUT_FILES:
        shutil.copyfile(os.path.join(copy, path), os.path.join(folder, os.path.basename(path)))
    try:
        record = buildinfo.record(os.path.join(copy, "build", "windows"), commit, names.version)
    except Exception:  # whatever stops the record, the release has none
        raise Failed("cannot tell which tools built the exe") from None
    with open(os.path.join(folder, "BUILDINFO"), "w") as file:
        file.write(record)
    sums = []
    for name in names.summed_files:
        with open(os.path.join(folder, name), "rb") as file:
            sums.append(f"{hashlib.file_digest(file, 'sha256').hexdigest()}  {name}\n")
    with open(os.path.join(folder, layout.SUMS), "w") as file:
        file.write("".join(sums))
    return folder


def write_zip(names, stage, folder, epoch):
    """Fixed modes, times and order, and no extra fields (zip -X): nothing of this machine or
    this moment gets into the zip."""
    for name in names.files:
        os.chmod(os.path.join(folder, name), 0o644)
        os.utime(os.path.join(folder, name), (epoch, epoch))
    os.chmod(folder, 0o755)
    os.utime(folder, (epoch, epoch))
    entries = [f"{names.folder}/", *(f"{names.folder}/{name}" for name in names.files)]
    result = processes.run(["zip", "-X", "-q", names.zip_name, *entries], cwd=stage,
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           errors="replace")
    if result.returncode != 0:
        said = result.stdout.strip().splitlines()
        raise Failed(f"zip could not write {names.zip_name}: "
                     f"{said[-1] if said else f'exit status {result.returncode}'}")


def make_package(names, stage, copy, folder, epoch, key, options):
    """The package holds the zip's exe, signed when it is, and is signed the same way. It is
    made from the commit's own WiX source."""
    unsigned = os.path.join(stage, "unsigned.msi")
    made = os.path.join(stage, names.package_name)
    try:
        package.build(os.path.join(folder, "mkvtype.exe"), names.version, epoch, unsigned,
                      root=copy)
    except package.Failed as failed:
        raise Failed(f"package: {failed}") from None
    if key:
        sign(key, options, unsigned, made, "the package")
        check_signed(made, "the package", stage)
    else:
        os.rename(unsigned, made)


def publish(names, stage, output):
    """Puts the package and the zip into `output`, each whole or not at all; returns their
    paths, the zip's last."""
    try:
        os.makedirs(output, exist_ok=True)
    except OSError as error:
        raise Failed(f"cannot make the output folder {output}: {error.strerror}") from None
    output = os.path.abspath(output)
    made = (names.package_name, names.zip_name)
    partials = []
    try:
        for name in made:
            partials.append(os.path.join(output, f".{name}.partial"))
            shutil.copyfile(os.path.join(stage, name), partials[-1])
        # Once the files are in place, an interrupt can no longer undo the release.
        processes.ignore_signals()
        for name, partial in zip(made, partials):
            os.replace(partial, os.path.join(output, name))
    except BaseException:
        for partial in partials:
            if os.path.exists(partial):
                os.remove(partial)
        raise
    return [os.path.join(output, name) for name in made]


def make_release(options):
    key = take_signing_key(options)
    names = take_layout()
    commit, epoch = take_commit()
    stage = tempfile.mkdtemp()
    try:
        copy, exe = build_commit(stage, commit)
        folder = gather_files(names, stage, copy, exe, commit, key, options)
        write_zip(names, stage, folder, epoch)
        make_package(names, stage, copy, folder, epoch, key, options)
        return publish(names, stage, options.output)
    finally:
        processes.ignore_signals()
        shutil.rmtree(stage, ignore_errors=True)


def main(arguments):
    # Nothing of the caller's locale or time zone may reach the zip: not the order of names,
    # not the time of its entries, not the tools' messages that are read here.
    os.environ.update(LC_ALL="C", TZ="UTC")
    processes.stop_on_signals()
    try:
        for path in make_release(read_options(arguments)):
            print(path)
    except WrongCall as wrong:
        print(f"release.sh: {wrong} ({USAGE})", file=sys.stderr)
        return 2
    except Failed as failed:
        print(f"release.sh: {failed}", file=sys.stderr)
        return 1
    except processes.Interrupted as interrupted:
        print(f"release.sh: {interrupted.stopped_by}; nothing was written", file=sys.stderr)
        return interrupted.status
    except Exception as error:  # one line, even for a failure nobody foresaw
        print(f"release.sh: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
