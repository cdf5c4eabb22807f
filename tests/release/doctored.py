"""Doctored inputs: a release's zip, exe or package changed in one way each, as an attacker or
a damaged download would change it, and packages made from other exes, dates and sources."""
import hashlib
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import zipfile

import pefile

import release_run as run
from release_run import COMMIT_EPOCH, FOLDER, contents


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
    changed = os.path.join(tempfile.mkdtemp(dir=run.WORK), "mkvtype.exe")
    with open(changed, "wb") as file:
        file.write(with_a_byte_of_code_flipped(contents(exe_path)))
    return changed


def package_from(exe_path, target, version="1.0.0.0", date=COMMIT_EPOCH, root=None):
    """A package made by the checkout's own packaging script, from the WiX source and icon of
    `root` (the checkout's by default); by default, the one release.sh makes of an unsigned
    exe."""
    sys.path.insert(0, os.path.join(run.CHECKOUT, "scripts"))
    from releasekit import package
    package.build(exe_path, version, date, target, root=root or run.CHECKOUT)
    return target


def package_installing_more(target):
    """A package made as release.sh makes it, from a WiX source with one file more."""
    root = tempfile.mkdtemp(dir=run.WORK)
    for name in ("release/mkvtype.wxs", "app/icon/mkvtype.ico"):
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        shutil.copy(os.path.join(run.CHECKOUT, name), os.path.join(root, name))
    source = os.path.join(root, "release", "mkvtype.wxs")
    with open(source) as file:
        text = file.read().replace(
            'KeyPath="yes"/>', 'KeyPath="yes"/>\n<File Id="more" Name="readme.ico" '
            'Source="mkvtype.ico"/>')
    with open(source, "w") as file:
        file.write(text)
    return package_from(run.BUILT_EXE, target, root=root)


def osslsigncode_applied(exe_bytes, *command):
    """The exe with osslsigncode's `command` applied."""
    with tempfile.TemporaryDirectory(dir=run.WORK) as folder:
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
    with tempfile.TemporaryDirectory(dir=run.WORK) as folder:
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
