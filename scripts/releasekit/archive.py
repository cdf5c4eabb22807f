"""Reads a release zip as a user's unzip tool would unpack it, refusing whatever would unpack as
something other than the release's plain files in its one folder."""
import stat
import zipfile

# Far more than any file of the release; a zip claiming more is not a release.
LARGEST_FILE = 64 * 1024 * 1024


class Refused(Exception):
    """Why the zip is refused, as a phrase for a FAILED line."""


def shown(text):
    """`text` safe to print: control and other invisible characters escaped."""
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" if ord(c) < 256
                   else f"\\u{ord(c):04x}" for c in text)


def _kind(info):
    """'file', 'folder' or what else the entry would unpack as."""
    # Unix zips give the type in the upper half of the attributes; where there is none, the
    # name and the MS-DOS folder bit tell, as unzip reads them.
    mode = info.external_attr >> 16 if info.create_system == 3 else 0
    if stat.S_IFMT(mode):
        if stat.S_ISLNK(mode):
            return "a symbolic link"
        if stat.S_ISDIR(mode):
            return "folder"
        if stat.S_ISREG(mode):
            return "folder" if info.filename.endswith("/") else "file"
        return "a special file"
    return "folder" if info.filename.endswith("/") or info.external_attr & 0x10 else "file"


def read_release(path, folder, files):
    """{name: bytes} of the zip's files, which must be exactly `files` inside `folder`/, each a
    plain file, beside at most the folder's own entry."""
    try:
        archive = zipfile.ZipFile(path)
    except (zipfile.BadZipFile, OSError) as error:
        raise Refused(f"not a zip file, or a damaged one ({error})") from None
    with archive:
        entries = archive.infolist()
        names = [info.filename for info in entries]
        duplicated = sorted({name for name in names if names.count(name) > 1})
        if duplicated:
            raise Refused(f"holds {', '.join(map(shown, duplicated))} more than once")
        expected = {f"{folder}/{name}" for name in files}
        unexpected = sorted(set(names) - expected - {f"{folder}/"})
        if unexpected:
            raise Refused(f"holds {', '.join(map(shown, unexpected))}, which is no file of "
                          f"{folder}/")
        absent = sorted(expected - set(names))
        if absent:
            raise Refused(f"lacks {', '.join(absent)}")
        contents = {}
        for info in entries:
            kind = _kind(info)
            if info.flag_bits & 0x1:
                raise Refused(f"{shown(info.filename)} is encrypted")
            if info.filename == f"{folder}/":
                if kind != "folder":
                    raise Refused(f"{folder}/ is {kind}, not a folder")
                continue
            if kind != "file":
                kind = "a folder" if kind == "folder" else kind
                raise Refused(f"{shown(info.filename)} is {kind}, not a plain file")
            if info.file_size > LARGEST_FILE:
                raise Refused(f"{shown(info.filename)} claims {info.file_size} bytes")
            try:
                contents[info.filename[len(folder) + 1:]] = archive.read(info)
            except (zipfile.BadZipFile, NotImplementedError, RuntimeError, ValueError,
                    EOFError, OSError) as error:
                raise Refused(f"{shown(info.filename)} cannot be unpacked ({error})") from None
        return contents
