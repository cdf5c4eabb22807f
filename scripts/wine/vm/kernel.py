"""The guest's kernel, unpacked once. Debian ships it packed (a bzImage, its ELF image
compressed inside), and under emulation the kernel's own decompressor took 2.5 to 3 s of every
boot; here it takes about a second, once. QEMU boots the plain ELF image directly, by its PVH
entry point, where the kernel was built with one."""
import lzma
import os
import struct
import zlib

ELF_MAGIC = b"\x7fELF"
XZ_MAGIC = b"\xfd7zXZ\x00"
GZIP_MAGIC = b"\x1f\x8b"


def payload(image):
    """The compressed ELF image inside the bzImage `image`, as its boot header places it."""
    setup_sectors = image[0x1F1] or 4  # the boot protocol's default where it says 0
    offset, length = struct.unpack_from("<II", image, 0x248)
    start = (setup_sectors + 1) * 512 + offset
    return image[start:start + length]


def decompressed(packed):
    """The packed payload's contents, or None where it is not xz or gzip."""
    if packed.startswith(XZ_MAGIC):
        return lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(packed)
    if packed.startswith(GZIP_MAGIC):
        return zlib.decompressobj(16 + zlib.MAX_WBITS).decompress(packed)
    return None


def has_pvh_entry(config):
    """Whether the kernel's build configuration gave it the entry point QEMU boots an ELF
    image by."""
    try:
        with open(config, encoding="utf-8", errors="replace") as file:
            return "CONFIG_PVH=y\n" in file.read()
    except OSError:
        return False


def unpack(packed, config, target):
    """Writes the ELF image inside the bzImage `packed` to `target`; False, writing nothing,
    where it cannot be booted that way or is not one this can unpack."""
    if not has_pvh_entry(config):
        return False
    with open(packed, "rb") as file:
        image = file.read()
    try:
        elf = decompressed(payload(image))
    except (IndexError, struct.error, lzma.LZMAError, zlib.error):
        return False
    if elf is None or not elf.startswith(ELF_MAGIC):
        return False
    partial = target + ".partial"
    with open(partial, "wb") as file:
        file.write(elf)
    os.replace(partial, target)
    return True
