#!/usr/bin/python3
"""How relay_calls.py reads a relay log: which calls are the program's, and how they show.

The log below is made for the purpose, in the form Wine 8 writes: a process that is not the
program, start-up calls from Wine's own code, and calls that a well-behaved program would not
make, each of which must show.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from relay_calls import program_calls  # noqa: E402

LOG = r"""
0040:0044:trace:loaddll:build_module Loaded L"C:\\windows\\explorer.exe" at 00400000: builtin
0040:0044:Call advapi32.RegSetValueExA(00000010,7b001000 "Shell",00000000,00000001,7b002000,00000004) ret=00401000
0100:0104:trace:loaddll:build_module Loaded L"Z:\\build\\windows\\mkvtype.exe" at 00400000: native
0100:0104:Call advapi32.RegOpenKeyExW(80000001,7b003000 L"Control Panel\\International",00000000,00020019,0060fd00) ret=7b010000
0100:0104:Ret  advapi32.RegOpenKeyExW() retval=00000000 ret=7b010000
0100:0104:Call advapi32.RegOpenKeyExA(80000002,00404044 "SOFTWARE\\Test",00000000,000f003f,0060fdbc) ret=0040284b
0100:0104:trace:reg:NtOpenKeyEx (0x1c,L"SOFTWARE\\Test",f003f,0x60fdbc)
0100:0104:trace:reg:NtOpenKeyEx <- 0x30
0100:0104:Ret  advapi32.RegOpenKeyExA() retval=00000000 ret=0040284b
0100:0104:Call advapi32.RegSetValueExA(00000030,00404378 "76",00000000,00000001,004040c5,00000005) ret=004028cd
0100:0104:Call ntdll.RtlMultiByteToUnicodeSize(0060fd48,004040c5 "*.mkv",00000005) ret=7b06074a
0100:0104:Ret  ntdll.RtlMultiByteToUnicodeSize() retval=00000000 ret=7b06074a
0100:0104:Ret  advapi32.RegSetValueExA() retval=00000000 ret=004028cd
0100:0104:Call advapi32.RegCloseKey(00000030) ret=004029c4
0100:0104:Ret  advapi32.RegCloseKey() retval=00000000 ret=004029c4
0100:0104:Call advapi32.RegSetValueExA(00000030,00404378 "76",00000000,00000001,004040c5,00000006) ret=004028cd
0100:0104:Ret  advapi32.RegSetValueExA() retval=00000006 ret=004028cd
0100:0104:Call shlwapi.SHSetValueA(80000001,00404400 "Software\\Other",00000000,00000001,00404410,00000002) ret=00402900
0100:0104:Call advapi32.RegCreateKeyExW(80000001,0060f000 L"Software\\Other",00000000,00000000,00000001,00000002,00000000,0060f100,00000000) ret=7a001000
0100:0104:trace:reg:NtCreateKey <- 0x38
0100:0104:Ret  advapi32.RegCreateKeyExW() retval=00000000 ret=7a001000
0100:0104:Ret  shlwapi.SHSetValueA() retval=00000000 ret=00402900
0100:0104:Call ntdll.NtDeleteKey(00000040) ret=00402a00
0100:0104:Ret  ntdll.NtDeleteKey() retval=00000000 ret=00402a00
0100:0104:Call msvcrt.exit(00000000) ret=00401492
""".strip().splitlines()


class ReadingTheRelayLog(unittest.TestCase):
    def setUp(self):
        self.calls = program_calls(LOG, "mkvtype.exe", 0x8000)

    def test_shows_the_program_calls_and_no_others(self):
        self.assertEqual(self.calls, [
            r'RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\Test", 0, 0x000F003F, &key) -> 0, key#1',
            # A byte count one short: the log's text stops at the zero, the count does not.
            'RegSetValueExA(key#1, "76", 0, REG_SZ, "*.mkv", 5) -> 0',
            "RegCloseKey(key#1) -> 0",
            # A write through a handle the program closed already, which Wine refused before it
            # looked at the data.
            'RegSetValueExA(stale 0x30, "76", 0, REG_SZ, data not shown, 6) -> 6',
            # Reached through another DLL's helper, in the wide form, volatile.
            r'RegCreateKeyExW(HKEY_CURRENT_USER, "Software\Other", 0, null, 1, 0x00000002, null,'
            " &key, null) -> 0, key#2",
            # Below the registry functions, straight to ntdll.
            "NtDeleteKey(0x40) -> 0",
        ])

    def test_a_log_without_the_program_is_an_error(self):
        with self.assertRaisesRegex(AssertionError, "no process that loaded other.exe"):
            program_calls(LOG, "other.exe", 0x8000)


if __name__ == "__main__":
    unittest.main(verbosity=2)
