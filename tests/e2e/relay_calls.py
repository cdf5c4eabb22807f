#!/usr/bin/python3
"""The registry calls of the built mkvtype.exe, call by call, from Wine's relay log.

Each case sets up Wine's registry through regprobe.exe, runs the tool with Wine's relay,
registry and loader channels on, and compares every registry function call that the program
makes (directly, or inside any function it calls) with the sequence written out below: roots,
key paths, value names, options, access masks, class and security pointers, data as far as
the log shows it, byte counts, results, and which key each call works on. Any other registry
call of the program, in any form, is a difference. Calls that Wine makes while it starts the
process are not the program's: they come from no code of the executable's image.

    relay_calls.py list
    relay_calls.py run PREFIX CASE EXE PROBE
"""
import dataclasses
import os
import re
import subprocess
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_cases  # noqa: E402  (beside this file)

DESCRIPTIONS = r"SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\MUIDescriptions"
TYPES = r"SOFTWARE\Microsoft\MediaPlayer\Player\Extensions\Types"

# The expected sequences, written out in full. Keys are numbered in the order the program is
# given them; a handle it was never given, or one it closed already, shows as "stale 0x...".
OPEN_DESCRIPTIONS = f'RegOpenKeyExA(HKEY_LOCAL_MACHINE, "{DESCRIPTIONS}", 0, 0x000F003F, &key)'
OPEN_TYPES = f'RegOpenKeyExA(HKEY_LOCAL_MACHINE, "{TYPES}", 0, 0x000F003F, &key)'
PROBE = 'RegOpenKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, 0x00020009, &key)'
CREATE = ('RegCreateKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, null, 0, 0x000F003F, null, &key,'
          ' &disposition)')
OPEN_CLASS = 'RegOpenKeyExA(HKEY_CLASSES_ROOT, ".MKV", 0, 0x000F003F, &key)'

PLAYER_ENTRIES = [
    OPEN_DESCRIPTIONS + " -> 0, key#1",
    'RegSetValueExA(key#1, "76", 0, REG_SZ, "Matroska", 9) -> 0',
    "RegCloseKey(key#1) -> 0",
    OPEN_TYPES + " -> 0, key#2",
    'RegSetValueExA(key#2, "76", 0, REG_SZ, "*.mkv", 6) -> 0',
    "RegCloseKey(key#2) -> 0",
]


def class_made(first_key):
    made, opened = f"key#{first_key}", f"key#{first_key + 1}"
    return [
        PROBE + " -> 2",
        CREATE + f" -> 0, {made}",
        f"RegCloseKey({made}) -> 0",
        OPEN_CLASS + f" -> 0, {opened}",
        f'RegSetValueExA({opened}, "", 0, REG_SZ, "AVIfile", 8) -> 0',
        f"RegCloseKey({opened}) -> 0",
    ]


PLAYER = wine_cases.player()
CLASS = wine_cases.CLASS


@dataclasses.dataclass
class CallCase:
    name: str
    setup: list
    calls: list


CASES = [
    CallCase("PlayerInstalledClassMissing", PLAYER, PLAYER_ENTRIES + class_made(3)),
    CallCase("ClassKeyPresent", PLAYER + [f"key 32 {CLASS}"],
             PLAYER_ENTRIES + [PROBE + " -> 0, key#3", "RegCloseKey(key#3) -> 0"]),
    CallCase("NoPlayer", [], [OPEN_DESCRIPTIONS + " -> 2", OPEN_TYPES + " -> 2"] + class_made(1)),
    # The key's security refuses the probe's READ_CONTROL, and so every later step on the key.
    CallCase("ProbeRefused",
             PLAYER + [f"key 32 {CLASS}", f"deny 32 {CLASS} 0x20000", f"refused 32 {CLASS} 0x20009"],
             PLAYER_ENTRIES + [PROBE + " -> 5", CREATE + " -> 5", OPEN_CLASS + " -> 5"]),
    # 1021: ERROR_CHILD_MUST_BE_VOLATILE. The key cannot be made; nothing is written.
    CallCase("CreateRefused", PLAYER + [f"uncreatable 32 {CLASS}"],
             PLAYER_ENTRIES + [PROBE + " -> 2", CREATE + " -> 1021", OPEN_CLASS + " -> 2"]),
]

ROOTS = {
    0x80000000: "HKEY_CLASSES_ROOT",
    0x80000001: "HKEY_CURRENT_USER",
    0x80000002: "HKEY_LOCAL_MACHINE",
    0x80000003: "HKEY_USERS",
    0x80000005: "HKEY_CURRENT_CONFIG",
}
VALUE_TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ"}
# Where Wine's registry functions live, in either of their A and W forms; below them, ntdll's
# native calls, which a program may also reach for itself.
REGISTRY_MODULES = {"advapi32", "kernelbase", "kernel32"}
NATIVE_REGISTRY_CALL = re.compile(r"^(Nt|Zw)\w*Keys?(Ex|2|Transacted|TransactedEx)?$")

LINE = re.compile(r"^(?P<pid>[0-9a-f]+):(?P<tid>[0-9a-f]+):(?P<text>.*)$")
CALL = re.compile(r"^Call (?P<module>[\w-]+)\.(?P<function>\w+)\((?P<args>.*)\)"
                  r" ret=(?P<caller>[0-9a-f]+)$")
RET = re.compile(r"^Ret  (?P<module>[\w-]+)\.(?P<function>\w+)\(\) retval=(?P<value>[0-9a-f]+)")
RETURNED_KEY = re.compile(r"^trace:reg:Nt(?:OpenKeyEx|CreateKey) <- (?P<handle>\S+)$")
LOADED = re.compile(r'^trace:loaddll:\w+ Loaded L"(?P<path>[^"]*)" at (?P<base>[0-9A-Fa-f]+)')


@dataclasses.dataclass
class Argument:
    number: int
    text: str | None  # the string the log shows beside the pointer, decoded


@dataclasses.dataclass
class Call:
    function: str
    args: list
    status: int | None = None
    returned: int | None = None  # the key a successful open or create gave back
    data: str | None = None  # RegSetValueEx's data, as far as the log shows it


@dataclasses.dataclass
class Frame:
    name: str
    in_program: bool
    call: Call | None


def split_arguments(text):
    """Splits a relay argument list at the commas that stand outside quoted strings."""
    parts, current, quoted, escaped = [], "", False, False
    for char in text:
        if escaped:
            escaped = False
        elif char == "\\" and quoted:
            escaped = True
        elif char == '"':
            quoted = not quoted
        elif char == "," and not quoted:
            parts.append(current)
            current = ""
            continue
        current += char
    if current or parts:
        parts.append(current)
    return parts


def decode(text):
    """Wine's debug form of a string (backslash escapes) back to the string."""
    out, i = "", 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            code = text[i + 1]
            if code == "x":
                out += chr(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": "\n", "r": "\r", "t": "\t"}.get(code, code)
            i += 2
        else:
            out += text[i]
            i += 1
    return out


def parse_argument(text):
    number, _, rest = text.strip().partition(" ")
    match = re.fullmatch(r'L?"(.*)"', rest)
    return Argument(int(number, 16), decode(match.group(1)) if match else None)


class Renderer:
    """Turns calls into text, naming each key by the order in which the program got it."""

    def __init__(self):
        self.keys = {}
        self.given = 0

    def key(self, number):
        if number in ROOTS:
            return ROOTS[number]
        return self.keys.get(number, f"stale 0x{number:x}")

    @staticmethod
    def text(argument):
        return "null" if argument.number == 0 else f'"{argument.text}"'

    @staticmethod
    def pointer(argument, name):
        return "null" if argument.number == 0 else name

    def arguments(self, call):
        a = call.args
        function = call.function.rstrip("AW")
        if function == "RegOpenKeyEx" and len(a) == 5:
            return [self.key(a[0].number), self.text(a[1]), str(a[2].number),
                    f"0x{a[3].number:08X}", self.pointer(a[4], "&key")]
        if function == "RegCreateKeyEx" and len(a) == 9:
            return [self.key(a[0].number), self.text(a[1]), str(a[2].number), self.text(a[3]),
                    str(a[4].number), f"0x{a[5].number:08X}", self.pointer(a[6], "security"),
                    self.pointer(a[7], "&key"), self.pointer(a[8], "&disposition")]
        if function == "RegSetValueEx" and len(a) == 6:
            data = "null" if a[4].number == 0 else (
                f'"{call.data}"' if call.data is not None else "data not shown")
            return [self.key(a[0].number), self.text(a[1]), str(a[2].number),
                    VALUE_TYPES.get(a[3].number, str(a[3].number)), data, str(a[5].number)]
        if function == "RegCloseKey" and len(a) == 1:
            return [self.key(a[0].number)]
        return [self.text(x) if x.text is not None else
                ROOTS.get(x.number, f"0x{x.number:x}") for x in a]

    def render(self, call):
        text = f"{call.function}({', '.join(self.arguments(call))}) -> "
        text += "?" if call.status is None else str(call.status)
        if call.function == "RegCloseKey" and call.status == 0:
            self.keys.pop(call.args[0].number, None)
        gives_key = call.function.startswith(("RegOpenKey", "RegCreateKey"))
        if gives_key and call.returned and call.status == 0:
            self.given += 1
            self.keys[call.returned] = f"key#{self.given}"
            text += f", key#{self.given}"
        return text


def program_calls(log_lines, exe_name, image_size):
    """The registry calls that the program's own code makes, in order, as text.

    The program is the process that loaded `exe_name`; its code is what lies in that image. A
    registry call counts when the image makes it, or when it happens inside any call that the
    image made (a helper of another DLL that reaches the registry), but not inside another
    registry call that counts already: that is how the platform carries the first one out.
    """
    pid, start = None, None
    stacks, calls = {}, []
    for raw in log_lines:
        line = LINE.match(raw.rstrip("\r\n"))
        if not line:
            continue
        text = line.group("text")
        if pid is None:
            loaded = LOADED.match(text)
            if loaded and loaded.group("path").lower().endswith("\\" + exe_name.lower()):
                pid, start = line.group("pid"), int(loaded.group("base"), 16)
            continue
        if line.group("pid") != pid:
            continue
        stack = stacks.setdefault(line.group("tid"), [])
        innermost = next((f.call for f in reversed(stack) if f.call), None)
        if match := CALL.match(text):
            caller = int(match.group("caller"), 16)
            in_program = start <= caller < start + image_size or (stack and stack[-1].in_program)
            module, function = match.group("module").lower(), match.group("function")
            is_registry = ((module in REGISTRY_MODULES and function.startswith("Reg"))
                           or (module == "ntdll" and NATIVE_REGISTRY_CALL.match(function)))
            call = None
            if in_program and is_registry and innermost is None:
                call = Call(match.group("function"),
                            [parse_argument(a) for a in split_arguments(match.group("args"))])
                calls.append(call)
            stack.append(Frame(match.group("module") + "." + match.group("function"),
                               bool(in_program), call))
            if innermost is not None:
                take_data(innermost, match.group("args"))
        elif match := RET.match(text):
            name = match.group("module") + "." + match.group("function")
            while stack:
                frame = stack.pop()
                if frame.name == name:
                    if frame.call:
                        frame.call.status = int(match.group("value"), 16)
                    break
        elif (match := RETURNED_KEY.match(text)) and innermost is not None:
            handle = match.group("handle")
            innermost.returned = None if handle == "(nil)" else int(handle, 16)
    if pid is None:
        raise AssertionError(f"the log shows no process that loaded {exe_name}")
    renderer = Renderer()
    return [renderer.render(call) for call in calls]


def take_data(call, nested_args):
    """RegSetValueEx's data is only a pointer in its own line; the calls it makes to convert
    the text show the text at that pointer."""
    if call.function.startswith("RegSetValueEx") and call.data is None and len(call.args) == 6:
        pointer = call.args[4].number
        for argument in split_arguments(nested_args):
            parsed = parse_argument(argument)
            if parsed.number == pointer and parsed.text is not None:
                call.data = parsed.text
                return


def run(prefix, case_name, exe, probe_exe):
    case = next(c for c in CASES if c.name == case_name)
    wine_cases.reset_registry(prefix, probe_exe, case.setup)
    env = wine_cases.wine_environment(prefix)
    env["WINEDEBUG"] = "-all,+relay,+reg,+loaddll,+pid"
    result = subprocess.run(["wine", exe], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=120, check=False)
    assert result.returncode == 0, f"exit status {result.returncode}"
    image_size = pefile.PE(exe, fast_load=True).OPTIONAL_HEADER.SizeOfImage
    log = result.stderr.decode("latin-1").splitlines()
    calls = program_calls(log, os.path.basename(exe), image_size)
    if calls != case.calls:
        raise AssertionError("registry calls differ\nexpected:\n  " + "\n  ".join(case.calls)
                             + "\nmade:\n  " + "\n  ".join(calls))
    print(f"{case_name}: the {len(calls)} registry calls as expected:\n  " + "\n  ".join(calls))


if __name__ == "__main__":
    wine_cases.table_main(sys.argv, __doc__, CASES, run, 4)
