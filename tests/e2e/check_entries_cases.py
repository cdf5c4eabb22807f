#!/usr/bin/python3
"""check-entries.cmd under Wine's own cmd.exe and reg.exe, over a table of registry states: in
a 32-bit prefix from its one prompt, and in a 64-bit prefix from both the 32-bit and the 64-bit
prompt, which must read the same registry view, the one the tool writes. Cases that name cmd
options are run both with and without them.

    check_entries_cases.py list
    check_entries_cases.py run PREFIX CASE EXE PROBE CHECK_CMD
"""
import collections
import itertools
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_cases  # noqa: E402
from wine_cases import (CLASS, DESCRIPTIONS, EXTENSIONS, REG_SZ, TYPES, is_64_bit, player,  # noqa: E402
                        reset_registry, run_tool, sz, value, wine_environment)

REG_EXPAND_SZ = 2
THE_PLAYERS_ENTRIES = [value("32", DESCRIPTIONS, "76", REG_SZ, sz("Matroska")),
                       value("32", TYPES, "76", REG_SZ, sz("*.mkv"))]
EVERY_ENTRY = {"description", "pattern", "class"}


# Which entry a line of the check's output names. SOFTWARE is where the prompt finds the tool's
# registry view: the usual path from a 32-bit prompt, WOW6432Node from a 64-bit one.
def entry_lines(software):
    player_key = re.escape(software + r"\Microsoft\MediaPlayer\Player\Extensions")
    unreadable = r" \(it exists, but this account may not read it\)$"
    return {
        "description": re.compile(rf"^missing: {player_key}\\MUIDescriptions, value 76 = "
                                  r"Matroska \(REG_SZ\)$"),
        "pattern": re.compile(rf"^missing: {player_key}\\Types, value 76 = \*\.mkv \(REG_SZ\)$"),
        "class": re.compile(r"^missing: HKEY_CLASSES_ROOT\\\.MKV \(the key, with any class\)$"),
        # Keys that exist but that this account may not read: status 2.
        "unreadable Types": re.compile(rf"^cannot read: {player_key}\\Types{unreadable}"),
        "unreadable Extensions": re.compile(rf"^cannot read: {player_key}{unreadable}"),
    }


ALL_IN_PLACE = "in place: every entry that mkvtype.exe writes on this machine"


# A case: regprobe's commands that make its starting state; whether the tool runs first; the
# entries the check must name (none: it exits 0), and where a 64-bit Windows differs, the
# entries there; options of cmd to run it with as well.
Case = collections.namedtuple("Case", "name setup run_tool missing missing_on_64_bit cmd_options",
                              defaults=(None, ()))


def holding(key, text, kind=REG_SZ):
    """The player's entries with value 76 of `key` holding `text` instead."""
    entries = [e for e in THE_PLAYERS_ENTRIES if f" {key} " not in e]
    return entries + [value("32", key, "76", kind, text.encode("latin-1") + b"\0")]


# A player key whose DACL refuses reading (KEY_READ) to everyone.
def unreadable(key):
    return [f"deny 32 {key} 0x20019", f"refused 32 {key} 0x20019"]


CASES = [
    Case("BeforeARun", player(), False, EVERY_ENTRY),
    Case("AfterARun", player(), True, set()),
    Case("EntryHoldsOtherData",
         player() + THE_PLAYERS_ENTRIES + [value("32", TYPES, "76", REG_SZ, sz("*.avi")),
                                           f"key 32 {CLASS}"],
         False, {"pattern"}),
    Case("EntryHoldsAnotherType",
         player() + THE_PLAYERS_ENTRIES + [f"key 32 {CLASS}",
                                           value("32", DESCRIPTIONS, "76", REG_EXPAND_SZ,
                                                 sz("Matroska"))],
         False, {"description"}),
    # The tool writes nothing into another view's player keys, and nothing is needed there.
    Case("PlayerOnlyInThe64BitView", player("64"), True, set()),
    # Only the tool's view counts: right entries in the other view do not make up for it. On
    # 32-bit Windows the two views are one, and the entries are there.
    Case("EntriesOnlyInThe64BitView",
         player("32") + [value("64", DESCRIPTIONS, "76", REG_SZ, sz("Matroska")),
                         value("64", TYPES, "76", REG_SZ, sz("*.mkv")), f"key 32 {CLASS}"],
         False, set(), missing_on_64_bit={"description", "pattern"}),
    Case("NoPlayer", [], False, {"class"}),
    Case("NoPlayerAfterARun", [], True, set()),
    Case("NoClassKey", player() + THE_PLAYERS_ENTRIES, False, {"class"}),
    # The data is compared whole, blanks included, letter case included.
    Case("LeadingBlankBeforeThePattern", player() + holding(TYPES, " *.mkv") + [f"key 32 {CLASS}"],
         False, {"pattern"}),
    Case("TabBeforeThePattern", player() + holding(TYPES, "\t*.mkv") + [f"key 32 {CLASS}"],
         False, {"pattern"}),
    Case("LeadingBlanksBeforeTheDescription",
         player() + holding(DESCRIPTIONS, "  Matroska") + [f"key 32 {CLASS}"], False,
         {"description"}),
    Case("TrailingBlankAfterThePattern",
         player() + holding(TYPES, "*.mkv ") + [f"key 32 {CLASS}"], False, {"pattern"}),
    Case("PatternInUpperCase", player() + holding(TYPES, "*.MKV") + [f"key 32 {CLASS}"], False,
         {"pattern"}),
    # With delayed expansion, !x! would vanish and leave the tool's text.
    Case("ExclamationMarksUnderDelayedExpansion",
         player() + holding(TYPES, "*.mkv!x!") + [f"key 32 {CLASS}"], False, {"pattern"},
         cmd_options=("/v:on",)),
    Case("InPlaceUnderDelayedExpansion", player(), True, set(), cmd_options=("/v:on",)),
    # Double quotes that would close the comparison's own quotes, and commands after them.
    Case("DoubleQuotesInTheData",
         player() + holding(TYPES, '*.mkv"=="    76    REG_SZ    *.mkv') +
         holding(DESCRIPTIONS, '" & echo in place: every entry & exit /b 0 & "')[-1:] +
         [f"key 32 {CLASS}"],
         False, {"pattern", "description"}, cmd_options=("/v:on",)),
    # A second line hidden in the data, after the tool's text.
    Case("LineBreakInTheData",
         player() + holding(TYPES, "*.mkv\r\n    76    REG_SZ    *.mkv") + [f"key 32 {CLASS}"],
         False, {"pattern"}),
    # A key that exists but cannot be read is not a missing key, whatever is behind it.
    Case("PlayerKeyUnreadable",
         player() + holding(TYPES, "*.avi") + [f"key 32 {CLASS}"] + unreadable(TYPES), False,
         {"unreadable Types"}),
    # Where neither player key exists, their parent may hide them: whether they are missing
    # cannot be told.
    Case("ParentOfMissingPlayerKeysUnreadable",
         [f"key 32 {EXTENSIONS}", f"key 32 {CLASS}"] + unreadable(EXTENSIONS), False,
         {"unreadable Extensions"}),
    # A key is opened by its whole path: a parent that refuses reading hides nothing of it.
    Case("PlayerKeysUnderAnUnreadableParent",
         player() + THE_PLAYERS_ENTRIES + [f"key 32 {CLASS}"] + unreadable(EXTENSIONS), False,
         set()),
    Case("UnreadableAndMissingAtOnce", player() + unreadable(TYPES), False,
         {"unreadable Types", "description", "class"}),
]


def prompts(prefix):
    """The command interpreters to start the check from: (name, command, where that prompt
    finds the tool's registry view). Each is started by its own path, with the launcher of its
    own width: a bare "cmd" would go through start.exe, one process more."""
    if is_64_bit(prefix):
        return [("32-bit prompt", ["wine", r"C:\windows\syswow64\cmd.exe", "/c"],
                 r"HKLM\SOFTWARE"),
                ("64-bit prompt", ["/usr/lib/wine/wine64", r"C:\windows\system32\cmd.exe", "/c"],
                 r"HKLM\SOFTWARE\WOW6432Node")]
    return [("prompt", ["wine", r"C:\windows\system32\cmd.exe", "/c"], r"HKLM\SOFTWARE")]


def named_entries(output, software):
    """The entries the output names as missing; fails on any other line."""
    lines = entry_lines(software)
    named = set()
    for line in output:
        entry = next((e for e, pattern in lines.items() if pattern.match(line)), None)
        assert entry, f"unexpected line: {line!r}"
        named.add(entry)
    return named


def run(prefix, case_name, exe, probe_exe, check_cmd):
    case = next(c for c in CASES if c.name == case_name)
    reset_registry(prefix, probe_exe, case.setup)
    if case.run_tool:
        run_tool(prefix, exe, (), 1)
    expected = case.missing
    if is_64_bit(prefix) and case.missing_on_64_bit is not None:
        expected = case.missing_on_64_bit
    status = 2 if any(e.startswith("unreadable") for e in expected) else 1 if expected else 0
    folder, script = os.path.split(os.path.abspath(check_cmd))
    option_sets = [()] + [case.cmd_options] * bool(case.cmd_options)
    for (prompt, command, software), options in itertools.product(prompts(prefix), option_sets):
        result = subprocess.run(command[:-1] + list(options) + command[-1:] + [script],
                                cwd=folder, env=wine_environment(prefix), capture_output=True,
                                timeout=120, check=False)
        output = result.stdout.decode("latin-1").replace("\r", "").splitlines()
        prompt = " ".join([prompt, *options])
        said = result.stderr.decode("latin-1").replace("\r", "").strip()
        where = f"{case_name}, {prompt}: output {output}" + (f", errors {said!r}" if said else "")
        if expected:
            assert result.returncode == status, \
                f"{where}: exit status {result.returncode}, not {status}"
            assert named_entries(output, software) == expected and len(output) == len(expected), \
                f"{where}: should name exactly {sorted(expected)}"
        else:
            assert result.returncode == 0, f"{where}: exit status {result.returncode}, not 0"
            assert output == [ALL_IN_PLACE], where
        print(f"{case_name}, {prompt}: exit status {result.returncode}, as expected: {output}")


if __name__ == "__main__":
    wine_cases.table_main(sys.argv, __doc__, CASES, run, 5)
