#!/usr/bin/python3
"""The guest's kernel unpacked from its bzImage, over small made-up images: the ELF image
where it can be booted so, and nothing written where it cannot, so that the packed kernel
boots instead."""
import gzip
import lzma
import os
import shutil
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "wine", "vm"))
import kernel  # noqa: E402

ELF = b"\x7fELF" + bytes(range(256)) * 64
PVH = "CONFIG_X86_64=y\nCONFIG_PVH=y\nCONFIG_KERNEL_XZ=y\n"


def bz_image(packed, setup_sectors=3, offset=100):
    """A bzImage's layout: boot sector and setup, then the protected-mode code holding the
    payload at the offset its header gives."""
    setup = bytearray((setup_sectors + 1) * 512)
    setup[0x1F1] = setup_sectors
    struct.pack_into("<II", setup, 0x248, offset, len(packed))
    # The kernel appends the unpacked size to an xz payload; the header's length leaves it out.
    return bytes(setup) + bytes(offset) + packed + struct.pack("<I", len(ELF))


class Unpack(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)

    def unpack(self, image, config=PVH):
        paths = {name: os.path.join(self.folder, name) for name in ("vmlinuz", "config")}
        with open(paths["vmlinuz"], "wb") as file:
            file.write(image)
        if config is not None:
            with open(paths["config"], "w") as file:
                file.write(config)
        target = os.path.join(self.folder, "vmlinux")
        return kernel.unpack(paths["vmlinuz"], paths["config"], target), target

    def test_an_xz_or_gzip_payload_unpacks_to_its_elf_image(self):
        for name, packed in (("xz", lzma.compress(ELF, format=lzma.FORMAT_XZ)),
                             ("gzip", gzip.compress(ELF))):
            with self.subTest(name):
                unpacked, target = self.unpack(bz_image(packed))
                self.assertTrue(unpacked)
                with open(target, "rb") as file:
                    self.assertEqual(file.read(), ELF)
                self.assertEqual(sorted(os.listdir(self.folder)), ["config", "vmlinux", "vmlinuz"])
                os.remove(target)

    def test_what_cannot_boot_unpacked_writes_nothing(self):
        xz = lzma.compress(ELF, format=lzma.FORMAT_XZ)
        for name, image, config in [
                ("NoPVHEntry", bz_image(xz), "CONFIG_X86_64=y\n# CONFIG_PVH is not set\n"),
                ("NoConfiguration", bz_image(xz), None),
                ("Zstandard", bz_image(b"\x28\xb5\x2f\xfd" + bytes(64)), PVH),
                ("NotAnELFImage", bz_image(lzma.compress(b"MZ" + ELF[4:])), PVH),
                ("DamagedPayload", bz_image(xz[:12] + bytes(len(xz) - 12)), PVH),
                ("CutShort", bz_image(xz)[:0x200], PVH)]:
            with self.subTest(name):
                unpacked, target = self.unpack(image, config)
                self.assertFalse(unpacked)
                self.assertFalse(os.path.exists(target))
                self.assertFalse(os.path.exists(target + ".partial"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
