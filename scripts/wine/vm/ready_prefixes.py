"""Ready Wine prefixes, for the tests and the demo where making one costs most of a minute: in
the virtual machine, under emulation. A prefix is made once for each architecture, set of
installed Wine packages and recipe (how it is made), kept in the machine's cache, and unpacked
in place of making it again.

    ready_prefixes.py PREFIX ARCH   fills the empty or missing folder PREFIX, with the kept
                                    prefixes in $MKVTYPE_READY_PREFIXES and the Wine
                                    environment of the caller

Most of a fresh prefix is Wine's own DLLs and data, copied from its packages: in the kept copy
each file that is byte for byte one of those is a symbolic link to it, so that a prefix is kept
in about 13 MB rather than 600 to 1300 MB, and unpacked in a second. Only the guest uses them:
there the host's files are read-only under a layer in memory, so that nothing written through
such a link reaches the host.

Each kept prefix is ARCH-KEY.tar with its SHA-256 in ARCH-KEY.sha256 beside it; the key covers
the architecture, the recipe and the Wine packages' versions, so that a prefix made with other
packages or another recipe is never used. One that does not match its digest is made again.
Either says so in one line.
"""
import contextlib
import filecmp
import glob
import hashlib
import json
import os
import subprocess
import sys
import tempfile

# How a test prefix is made: wineboot in an empty folder, with the tests' environment (the
# variables named here). Change it, or the linking below, and every kept prefix is made again.
RECIPE = {"command": ["wineboot", "--init"], "variables": ["WINEARCH", "WINEDEBUG",
                                                            "WINEDLLOVERRIDES"], "format": 1}
# Where Wine's packages keep the files that a prefix copies.
WINES_OWN_FILES = ("/usr/lib/*/wine/*-windows", "/usr/share/wine/nls")
PACKAGES = ("wine", "wine32", "wine64", "libwine", "fonts-wine")


def wine_packages():
    listing = subprocess.run(["dpkg-query", "-W", "-f=${Package}:${Architecture}=${Version}\n",
                              *PACKAGES], capture_output=True, text=True, check=False).stdout
    return sorted(listing.split())


def key(env):
    recipe = dict(RECIPE, environment={name: env.get(name) for name in RECIPE["variables"]})
    text = json.dumps([recipe, wine_packages()], sort_keys=True)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def digest(path):
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def make_or_unpack(folder, prefix, env):
    """Fills the empty folder `prefix` with a prefix for env's WINEARCH: the kept one where it
    is sound, otherwise one made now, which is kept for the next run. Says which in one line."""
    name = f"{env['WINEARCH']}-{key(env)}"
    kept = os.path.join(folder, name + ".tar")
    try:
        with open(os.path.join(folder, name + ".sha256")) as file:
            sound = file.read().strip() == digest(kept)
    except FileNotFoundError:
        print(f"no ready prefix {name} for these Wine packages and this recipe: making it")
    else:
        if sound:
            subprocess.run(["tar", "-xf", kept, "-C", prefix], check=True)
            print(f"unpacked the ready prefix {name}")
            return
        print(f"the ready prefix {name} does not match its digest: making it again")
    make(prefix, env)
    keep(prefix, folder, name)


def make(prefix, env):
    subprocess.run(RECIPE["command"], env=env, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Its wine server saves the registry to the prefix's files when it goes.
    subprocess.run(["wineserver", "--wait"], env=env, check=True)
    link_wines_own_files(prefix)


def link_wines_own_files(prefix):
    """Replaces each file of the prefix that is byte for byte one of Wine's own by a link to
    it. A DLL is looked for by its name, other files by their size."""
    by_name, by_size = {}, {}
    for pattern in WINES_OWN_FILES:
        for folder in glob.glob(pattern):
            for entry in os.scandir(folder):
                if entry.is_file(follow_symlinks=False):
                    by_name.setdefault(entry.name.lower(), []).append(entry.path)
                    by_size.setdefault(entry.stat().st_size, []).append(entry.path)
    for root, _, files in os.walk(prefix):
        for name in files:
            path = os.path.join(root, name)
            if os.path.islink(path):
                continue
            size = os.path.getsize(path)
            candidates = [c for c in by_name.get(name.lower(), []) if os.path.getsize(c) == size]
            candidates += by_size.get(size, [])
            same = next((c for c in candidates if filecmp.cmp(path, c, shallow=False)), None)
            if same:
                os.remove(path)
                os.symlink(same, path)


def keep(prefix, folder, name):
    """Keeps the prefix as folder/name.tar, written whole before it is named, and removes the
    kept prefixes of its architecture that other packages or recipes made."""
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        archive = os.path.join(scratch, "prefix.tar")
        subprocess.run(["tar", "-cf", archive, "-C", prefix, "."], check=True)
        with open(os.path.join(scratch, "digest"), "w") as file:
            file.write(digest(archive) + "\n")
        for old in glob.glob(os.path.join(folder, name.split("-")[0] + "-*")):
            with contextlib.suppress(FileNotFoundError):
                os.remove(old)
        os.rename(archive, os.path.join(folder, name + ".tar"))
        os.rename(os.path.join(scratch, "digest"), os.path.join(folder, name + ".sha256"))


if __name__ == "__main__":
    if len(sys.argv) != 3 or "MKVTYPE_READY_PREFIXES" not in os.environ:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    make_or_unpack(os.environ["MKVTYPE_READY_PREFIXES"], sys.argv[1],
                   dict(os.environ, WINEPREFIX=sys.argv[1], WINEARCH=sys.argv[2]))
