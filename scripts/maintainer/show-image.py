#!/usr/bin/python3
"""Prints what matters of a built mkvtype.exe: size, kind, hardening flags, imported DLLs.

    scripts/maintainer/show-image.py [build/windows/mkvtype.exe]
"""
import os
import sys

import pefile

DLL_FLAGS = {
    "DYNAMIC_BASE": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"],
    "NX_COMPAT": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"],
    "NO_SEH": pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_SEH"],
    "TERMINAL_SERVER_AWARE":
        pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE"],
}


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "build/windows/mkvtype.exe"
    pe = pefile.PE(path, fast_load=False)
    machine = pefile.MACHINE_TYPE.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))
    magic = "PE32" if pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE else "PE32+"
    subsystem = pefile.SUBSYSTEM_TYPE.get(pe.OPTIONAL_HEADER.Subsystem)
    flags = [name for name, bit in DLL_FLAGS.items() if pe.OPTIONAL_HEADER.DllCharacteristics & bit]

    print(f"file: {path}")
    print(f"size: {os.path.getsize(path)} bytes")
    print(f"kind: {magic}, {machine}, {subsystem}")
    print(f"flags: {' '.join(flags)}")
    print("imports:")
    for entry in pe.DIRECTORY_ENTRY_IMPORT:
        names = sorted(i.name.decode() for i in entry.imports if i.name)
        shown = [n for n in names if n.startswith("Reg")] or names[:3]
        more = len(names) - len(shown)
        print(f"  {entry.dll.decode()}: {', '.join(shown)}" + (f" (+{more} more)" if more else ""))


if __name__ == "__main__":
    main()
