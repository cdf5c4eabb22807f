"""Checks of an Authenticode signature beyond what osslsigncode verifies: exactly one signature,
by a certificate allowed to sign code, with nothing in it or around it that the signature does
not cover, apart from one time stamp. Two different files must never both pass as one release.
"""
import struct
import subprocess

import pefile
from asn1crypto import cms, core, parser

SECURITY_DIRECTORY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
OLE_MAGIC = bytes.fromhex("d0cf11e0a1b11ae1")  # a compound file, as a package is
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
# RFC 3161 time stamp as Authenticode carries it, and the older PKCS #9 counter-signature.
TIME_STAMPS = {"1.3.6.1.4.1.311.3.3.1": "an RFC 3161 time stamp",
               "1.2.840.113549.1.9.6": "a counter-signature time stamp"}


class Refused(Exception):
    """Why a signature is refused, as a phrase for a FAILED line."""


def pe_signature(image):
    """The PKCS #7 signature of a PE image, or None when it has no certificate table. Refuses
    a table that holds anything but one signature and its alignment padding, or that is not
    the last thing in the file."""
    try:
        pe = pefile.PE(data=image, fast_load=True)
    except pefile.PEFormatError as error:
        raise Refused(f"not a Windows executable ({error})") from None
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[SECURITY_DIRECTORY]
    start, size = directory.VirtualAddress, directory.Size
    if size == 0 and start == 0:
        return None
    if size < 8 or start % 8 or start + size != len(image):
        raise Refused(f"its certificate table ({size} bytes at {start}) is not one aligned "
                      f"block at the end of the file ({len(image)} bytes)")
    table = image[start:]
    length, revision, kind = struct.unpack_from("<IHH", table)
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        raise Refused(f"its certificate table holds an entry of revision {revision:#x}, type "
                      f"{kind}, not a PKCS #7 signature")
    signature = _one_der_value(table[8:length] if 8 < length <= size else b"")
    # The entry is the signature and nothing else; padding (zero bytes) only brings the table
    # to a multiple of 8 bytes.
    used = 8 + len(signature)
    padded = (used + 7) // 8 * 8
    if length not in (used, padded) or size != padded or any(table[used:]):
        extra = size - padded
        raise Refused(f"its certificate table holds {extra} bytes beyond the signature and its "
                      "zero padding" if extra > 0 else "its certificate table's padding is not "
                      "zero bytes, or its entry's length is not the signature's")
    return signature


def package_signature(path):
    """The PKCS #7 signature of a Windows Installer package, or None when it has none. Refuses
    a signature stream that holds anything after the signature."""
    streams = _output("msiinfo", "streams", path)
    if streams is None:
        raise Refused("not a Windows Installer package that msiinfo can read")
    if "\x05DigitalSignature" not in streams.split("\n"):
        return None
    stream = _output("msiinfo", "extract", path, "\x05DigitalSignature", binary=True)
    signature = _one_der_value(stream or b"")
    if len(signature) != len(stream):
        raise Refused(f"its signature stream holds {len(stream) - len(signature)} bytes beyond "
                      "the signature")
    return signature


def _output(*command, binary=False):
    result = subprocess.run(command, capture_output=True, check=False)
    if result.returncode != 0:
        return None
    return result.stdout if binary else result.stdout.decode("utf-8", "replace")


def _one_der_value(data):
    try:
        _, _, _, header, contents, trailer = parser.parse(data)
    except ValueError:
        raise Refused("its certificate table holds no readable signature") from None
    return data[:len(header) + len(contents) + len(trailer)]


def check_signed_data(signature):
    """Checks the signature's own structure; returns the signer's certificate."""
    try:
        info = cms.ContentInfo.load(signature, strict=True)
        signed = info["content"]
        if info["content_type"].native != "signed_data":
            raise Refused("the signature is not PKCS #7 signed data")
        signers = list(signed["signer_infos"])
    except (ValueError, TypeError) as error:
        raise Refused(f"the signature cannot be read ({error})") from None
    if len(signers) != 1:
        raise Refused(f"it holds {len(signers)} signers, not one")
    signer = signers[0]
    stamps = 0
    for attribute in _unsigned_attributes(signer):
        kind = attribute["type"].dotted
        if kind == NESTED_SIGNATURE:
            raise Refused("it carries a second, nested signature")
        if kind not in TIME_STAMPS:
            raise Refused(f"it carries an unsigned attribute ({kind}) other than a time stamp, "
                          "which anyone could have added")
        stamps += len(attribute["values"])
        if kind == "1.3.6.1.4.1.311.3.3.1":
            for token in attribute["values"]:
                _check_time_stamp_token(token)
    if stamps > 1:
        raise Refused(f"it carries {stamps} time stamps, not one")
    certificate = _signer_certificate(signed, signer)
    usage = certificate.extended_key_usage_value
    if usage is not None and "code_signing" not in usage.native:
        raise Refused(f"its signer, {certificate.subject.human_friendly}, has a certificate "
                      f"whose extended key usage ({', '.join(usage.native)}) does not allow "
                      "code signing")
    return certificate


def _check_time_stamp_token(token):
    signers = list(token["content"]["signer_infos"])
    if len(signers) != 1:
        raise Refused(f"its time stamp holds {len(signers)} signers, not one")
    if _unsigned_attributes(signers[0]):
        raise Refused("its time stamp carries unsigned attributes, which anyone could have "
                      "added")


def _unsigned_attributes(signer):
    attributes = signer["unsigned_attrs"]
    return [] if isinstance(attributes, core.Void) else list(attributes)


def _signer_certificate(signed, signer):
    wanted = signer["sid"]
    if wanted.name != "issuer_and_serial_number":
        raise Refused("its signer is not named by issuer and serial number")
    for choice in signed["certificates"]:
        certificate = choice.chosen
        if (choice.name == "certificate" and certificate.issuer == wanted.chosen["issuer"]
                and certificate.serial_number == wanted.chosen["serial_number"].native):
            return certificate
    raise Refused("it does not hold its signer's certificate")


def check_file(path):
    """Refuses the signature of the file at `path`, an exe or a Windows Installer package, where
    a verifier would: none at all, or one that `check_signed_data` refuses."""
    with open(path, "rb") as file:
        image = file.read()
    found = package_signature(path) if image.startswith(OLE_MAGIC) else pe_signature(image)
    if found is None:
        raise Refused("it is not signed")
    check_signed_data(found)
