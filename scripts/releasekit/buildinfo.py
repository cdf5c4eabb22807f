"""BUILDINFO: which commit a release was built from, and with which tools, in the spirit of
Debian's .buildinfo. The exe is the same bytes only from the same compiler, binutils, runtime
libraries and build tools, so a verifier compares these first.
"""
import os
import shutil
import subprocess

FORMAT = "mkvtype-buildinfo 1"


def _output(*command):
    # dpkg-query -S exits 1 when one of several paths belongs to no package, and still names
    # the owners of the others.
    result = subprocess.run(command, capture_output=True, text=True, check=False,
                            env={**os.environ, "LC_ALL": "C"})
    return result.stdout.strip() if result.returncode in (0, 1) else ""


def _used_files(build_dir):
    """The programs and libraries whose versions decide the exe's bytes."""
    # What CMake configured with: compiler first, then the resource compiler, linker, archiver,
    # build program and CMake itself.
    with open(os.path.join(build_dir, "build-tools.txt"), encoding="utf-8") as file:
        files = [shutil.which(tool) or tool for tool in file.read().split("\n") if tool]
    compiler = files[0]
    files.append(_output(compiler, "-print-prog-name=cc1plus"))
    files.append(_output(compiler, "-print-prog-name=as"))
    files.append(_output(compiler, "-print-libgcc-file-name"))
    for library in ("libstdc++.a", "crt2.o", "libadvapi32.a"):
        files.append(_output(compiler, f"-print-file-name={library}"))
    return [os.path.realpath(f) for f in files if f]


def _packages_of(paths):
    """'name (= version)' of the Debian package that installed each of `paths`, or what the
    file says of itself where no package did. One dpkg-query for all: each run reads dpkg's
    whole file list."""
    owners = {}
    for line in _output("dpkg-query", "-S", *paths).splitlines():
        packages, path = line.split(": ", 1)
        owners[path] = packages.split(",")[0].strip().split(":")[0]
    versions = dict(line.split(" ", 1) for line in _output(
        "dpkg-query", "-W", "-f=${Package} ${Version}\n", *sorted(set(owners.values())))
        .splitlines()) if owners else {}
    found = set()
    for path in paths:
        if path in owners:
            found.add(f"{owners[path]} (= {versions.get(owners[path], 'unknown')})")
        else:
            said = _output(path, "--version").splitlines()
            found.add(f"{path} (no package: {said[0] if said else 'says no version'})")
    return found


def record(build_dir, commit, version):
    packages = sorted(_packages_of(sorted(set(_used_files(build_dir)))))
    lines = [f"Format: {FORMAT}", "Source: mkvtype", f"Version: {version}",
             f"Git-Commit: {commit}", "Build-Tools:"]
    lines += [f" {package}" for package in packages]
    return "\n".join(lines) + "\n"


def parse(text):
    """{field: value or list of lines}; raises ValueError on anything else."""
    fields, current = {}, None
    for line in text.split("\n")[:-1] if text.endswith("\n") else [None]:
        if line is None:
            raise ValueError("does not end with a line break")
        if line.startswith(" ") and current is not None:
            fields[current].append(line[1:])
        elif ": " in line or line.endswith(":"):
            name, value = line.split(":", 1)
            if name in fields:
                raise ValueError(f"names {name} twice")
            current = name if not value.strip() else None
            fields[name] = [] if current else value.strip()
        else:
            raise ValueError(f"has a line that is no field: {line!r}")
    for name in ("Format", "Source", "Version", "Git-Commit", "Build-Tools"):
        if name not in fields:
            raise ValueError(f"has no {name}")
    if fields["Format"] != FORMAT:
        raise ValueError(f"is of format {fields['Format']!r}, not {FORMAT!r}")
    return fields


def tool_differences(released, local):
    """What differs between two lists of build tools, one phrase each."""
    def by_name(tools):
        return {tool.split(" ", 1)[0]: tool for tool in tools}
    theirs, ours = by_name(released), by_name(local)
    differences = []
    for name in sorted(set(theirs) | set(ours)):
        if theirs.get(name) != ours.get(name):
            differences.append(f"{name}: the release was built with "
                               f"{theirs.get(name, 'none')}, this machine has "
                               f"{ours.get(name, 'none')}")
    return differences

