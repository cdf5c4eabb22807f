#!/usr/bin/python3
"""Checks the built mkvtype.exe as Windows will load it, read with pefile.

    check_image.py build/windows/mkvtype.exe
"""
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

EXE = sys.argv.pop(1) if len(sys.argv) > 1 else "build/windows/mkvtype.exe"
ALLOWED_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
REGISTRY_FUNCTIONS = {"RegOpenKeyExA", "RegCreateKeyExA", "RegSetValueExA"}
VERSION = "1.0.0.0"


def dll_flag(name):
    return pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + name]


def section_flag(name):
    return pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_" + name]


class Image(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def resources(self, resource_type):
        """{name or id: bytes} of the first language of each resource of the type."""
        found = {}
        for type_entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if type_entry.id != resource_type:
                continue
            for entry in type_entry.directory.entries:
                key = str(entry.name) if entry.name is not None else entry.id
                data = entry.directory.entries[0].data.struct
                found[key] = self.pe.get_data(data.OffsetToData, data.Size)
        return found

    def imports(self):
        return {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports if i.name}
                for entry in self.pe.DIRECTORY_ENTRY_IMPORT}

    def test_is_a_32_bit_x86_gui_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])

    def test_needs_no_dll_outside_windows_itself(self):
        self.assertLessEqual(set(self.imports()), ALLOWED_DLLS)

    def test_calls_the_registry_in_ansi_forms_only(self):
        imported = self.imports()
        self.assertLessEqual(REGISTRY_FUNCTIONS, imported.get("advapi32.dll", set()))
        every_name = set().union(*imported.values())
        self.assertEqual({n for n in every_name if n.startswith("Reg") and n.endswith("W")}, set())

    def test_is_hardened(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for name in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH", "TERMINAL_SERVER_AWARE"):
            with self.subTest(flag=name):
                self.assertTrue(flags & dll_flag(name))
        # ASLR needs the relocations to be there.
        relocations = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.assertGreater(relocations.Size, 0)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics
                         & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"])

    def test_no_section_is_writable_and_executable_or_shared(self):
        writable = section_flag("MEM_WRITE")
        for section in self.pe.sections:
            flags = section.Characteristics
            with self.subTest(section=section.Name.rstrip(b"\0").decode()):
                self.assertFalse(flags & writable and flags & section_flag("MEM_EXECUTE"))
                self.assertFalse(flags & writable and flags & section_flag("MEM_SHARED"))

    def test_has_no_time_stamp(self):
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)

    def test_icon_is_one_32_by_32_image_in_16_colours(self):
        groups = self.resources(pefile.RESOURCE_TYPE["RT_GROUP_ICON"])
        self.assertEqual(list(groups), ["MAINICON"])
        group = groups["MAINICON"]
        _, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((kind, count), (1, 1))
        width, height, colours, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6)
        self.assertEqual((width, height, colours, bits), (32, 32, 16, 4))
        # The image itself: a DIB twice as high as the icon (picture and mask), 4 bits a pixel.
        image = self.resources(pefile.RESOURCE_TYPE["RT_ICON"])[icon_id]
        dib_width, dib_height, _, dib_bits = struct.unpack_from("<iiHH", image, 4)
        self.assertEqual((dib_width, dib_height, dib_bits), (32, 64, 4))

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
        strings = {}
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings, {
            "FileVersion": VERSION,
            "ProductVersion": VERSION,
            "FileDescription": "Adds Matroska video to Windows Media Player's file types",
            "ProductName": "mkvtype",
            "LegalCopyright": "Copyright (c) 2026 The mkvtype authors. MIT License.",
            "InternalName": "mkvtype.exe",
            "OriginalFilename": "mkvtype.exe",
        })

    def manifest(self):
        manifests = self.resources(pefile.RESOURCE_TYPE["RT_MANIFEST"])
        self.assertEqual(list(manifests), [1])
        return ElementTree.fromstring(manifests[1])

    def test_manifest_runs_as_invoker(self):
        levels = [e.get("level") for e in self.manifest().iter()
                  if e.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(levels, ["asInvoker"])

    def test_manifest_declares_the_supported_windows_versions(self):
        supported = self.manifest().findall(
            "{urn:schemas-microsoft-com:compatibility.v1}compatibility/"
            "{urn:schemas-microsoft-com:compatibility.v1}application/"
            "{urn:schemas-microsoft-com:compatibility.v1}supportedOS")
        self.assertEqual(sorted(e.get("Id") for e in supported), sorted([
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
        ]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
