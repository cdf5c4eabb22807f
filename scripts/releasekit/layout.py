"""What the release is called and what it holds."""
import os
import re

# The checkout's files that go into the release beside mkvtype.exe, BUILDINFO and SHA256SUMS.
CHECKOUT_FILES = ("LICENSE", "release/README.txt", "release/check-entries.cmd")
MADE_FILES = ("mkvtype.exe", "BUILDINFO")
SUMS = "SHA256SUMS"


class Layout:
    def __init__(self, root):
        with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as file:
            found = re.search(r"^project\(mkvtype VERSION ([0-9.]+)", file.read(), re.M)
        if not found:
            raise ValueError("no version in CMakeLists.txt")
        self.version = found.group(1)
        self.folder = f"mkvtype-{self.version}"
        self.zip_name = f"{self.folder}-x86.zip"
        self.package_name = f"{self.folder}-x86.msi"

    @property
    def summed_files(self):
        """The files SHA256SUMS lists, in the order it lists them: byte order of their names."""
        return sorted([os.path.basename(f) for f in CHECKOUT_FILES] + list(MADE_FILES))

    @property
    def files(self):
        return sorted(self.summed_files + [SUMS])
