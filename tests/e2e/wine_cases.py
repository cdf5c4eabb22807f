#!/usr/bin/python3
"""End-to-end cases: the built mkvtype.exe against Wine's registry.

Each case sets up the real registry through regprobe.exe, runs the tool, and reads the registry
back through regprobe.exe, value types and stored sizes included; where the case says so, only
after a restart of the registry (the wine server saves it to its files and loads it again). The
expected state is the state before the run with the case's entries written in, and nothing else
changed.

Each prefix has one wine server for the whole run, started when the prefix is made and stopped
by `clean-up`, which removes the prefix. Between cases the watched keys are put back in place,
in the running server, to what they were when the prefix was made (see `RESET`); `check-reset`
proves that this undoes whatever a case can do to them.

    wine_cases.py list
    wine_cases.py prepare PREFIX ARCH PROBE       make a fresh prefix (ARCH: win32 or win64)
    wine_cases.py run PREFIX CASE EXE PROBE       reset the prefix's registry, then run the case
    wine_cases.py check-reset PREFIX EXE PROBE    damage the watched keys every way a case can,
                                                  reset, and compare with the pristine prefix
    wine_cases.py clean-up PREFIX                 stop the prefix's wine server, remove the
                                                  prefix
"""
import collections
import contextlib
import fcntl
import os
import shutil
import signal
import stat
import subprocess
import sys

PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXTENSIONS = r"HKLM\SOFTWARE\Microsoft\MediaPlayer\Player\Extensions"
DESCRIPTIONS = EXTENSIONS + r"\MUIDescriptions"
TYPES = EXTENSIONS + r"\Types"
CLASS = r"HKCR\.MKV"
REG_SZ, REG_BINARY, REG_DWORD = 1, 3, 4

# A volatile key that regprobe's `uncreatable` makes as a link's target.
VOLATILE = r"HKLM\Software\mkvtype-tests-volatile"
# The keys a run may touch, and around them what it must leave alone.
WATCHED = [r"HKLM\SOFTWARE\Microsoft\MediaPlayer", CLASS, r"HKCR\.mkv", VOLATILE]
# What puts the watched keys back as the prefix had them: a case makes keys and values under the
# player's "Player" key and ".MKV" (in either view), changes their DACLs, makes ".MKV" a link,
# and makes the link's volatile target; it leaves the rest of "MediaPlayer" as it was.
RESET = [f"clear {view} {key}" for view in ("32", "64")
         for key in (EXTENSIONS.rsplit("\\", 1)[0], CLASS, VOLATILE)]


def stored_sz(text):
    """A REG_SZ value as the registry keeps it: UTF-16, with one terminating zero."""
    return (text + "\0").encode("utf-16-le")


# What the tool writes: (key, value name, type, data as stored).
DESCRIPTION = (DESCRIPTIONS, "76", REG_SZ, stored_sz("Matroska"))
PATTERN = (TYPES, "76", REG_SZ, stored_sz("*.mkv"))
CLASS_NAME = (CLASS, "", REG_SZ, stored_sz("AVIfile"))
EVERY_ENTRY = (DESCRIPTION, PATTERN, CLASS_NAME)


def value(view, key, name, kind, data):
    return f"value {view} {key} {name or '-'} {kind} {data.hex()}"


def sz(text):
    """A REG_SZ value as a program passes it to RegSetValueExA."""
    return text.encode("latin-1") + b"\0"


# A player as installed, with entries of its own that must survive; 32 is the view the tool
# works in.
def player(view="32"):
    return [value(view, DESCRIPTIONS, "75", REG_SZ, sz("Ogg")),
            value(view, TYPES, "75", REG_SZ, sz("*.ogg"))]


# A case: regprobe's commands that make its starting state; which of the tool's entries the
# run must write; the tool's arguments; how many runs in turn, and how many at once. With
# `restart`, the registry is read back only after it is saved to its files and loaded again: an
# entry that would not outlive a restart of Windows counts as not written. Set where the run
# makes keys or replaces values, the writes that could fail to persist. (A named tuple rather
# than a dataclass: every test starts Python afresh, and importing dataclasses costs 15 to 25 ms
# of each start.)
Case = collections.namedtuple("Case", "name setup lands args runs at_once restart",
                              defaults=((), 1, 1, False))


CASES = [
    Case("PlayerInstalledClassMissing", player(), EVERY_ENTRY, restart=True),
    Case("NeitherPlayerKey", [], (CLASS_NAME,), restart=True),
    Case("OnlyDescriptionsKey", [f"key 32 {DESCRIPTIONS}"], (DESCRIPTION, CLASS_NAME)),
    Case("OnlyTypesKey", [f"key 32 {TYPES}"], (PATTERN, CLASS_NAME)),
    Case("EntryNumberHeldOtherTypeAndData",
         player() + [value("32", DESCRIPTIONS, "76", REG_DWORD, b"\x07\0\0\0"),
                     value("32", TYPES, "76", REG_BINARY, b"\x01\x02\x03")],
         EVERY_ENTRY, restart=True),
    Case("ClassKeyNamesAnotherClass", player() + [value("32", CLASS, "", REG_SZ, sz("mkvfile"))],
         (DESCRIPTION, PATTERN)),
    Case("ClassKeyEmptyWithSubKey", [f"key 32 {CLASS}\\ShellNew"], ()),
    Case("ClassKeyInLowerCase", [value("32", r"HKCR\.mkv", "", REG_SZ, sz("Other"))], ()),
    # READ_CONTROL is in the probe's access and in KEY_ALL_ACCESS: every step on the key fails.
    Case("ClassKeyRefusesTheProbe",
         player() + [value("32", CLASS, "", REG_SZ, sz("Old")), f"deny 32 {CLASS} 0x20000",
                     f"refused 32 {CLASS} 0x20009"],
         (DESCRIPTION, PATTERN)),
    Case("PlayerKeyRefusesWriting",
         player() + [f"deny 32 {TYPES} 0x2", f"refused 32 {TYPES} 0xF003F"],
         (DESCRIPTION, CLASS_NAME)),
    Case("TwoRunsInARow", player(), EVERY_ENTRY, runs=2),
    Case("SeveralRunsAtOnce", player(), EVERY_ENTRY, at_once=4),
    Case("ArgumentsChangeNothing", player(), EVERY_ENTRY,
         args=("/?", "--help", "-uninstall", "a b", "C:\\video.mkv", "x" * 300)),
    # On 64-bit Windows the player keys of the 64-bit view are another player's: they stay as
    # they were. On 32-bit Windows there is one view, and the case is the first one again.
    Case("SixtyFourBitViewUntouched", player("64") + player("32"), EVERY_ENTRY),
]


def wine_environment(prefix):
    """No Mono or Gecko installers, and no desktop menus and file associations for the host,
    which making a prefix would otherwise write for every program it registers."""
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
    return env


def pristine_dump(prefix):
    """The watched keys as the prefix had them when it was made."""
    return os.path.join(prefix + ".pristine", "watched.txt")


# The processors this test may use, as it started.
PROCESSORS = sorted(os.sched_getaffinity(0))


def keep_to_the_prefixs_cpu(prefix, arch=None):
    """Keeps this process and what it starts (wine programs, and at `prepare` the wine server)
    on one processor of the prefix's own, one for each architecture where there are two: each
    call to the server then wakes it on the caller's processor rather than across to the other,
    and the two prefixes do not take each other's. On this 2-core machine, two prefixes' check
    tables side by side took a fifth less time. `arch` is for a prefix not made yet."""
    sixty_four = (arch or ("win64" if is_64_bit(prefix) else "win32")) == "win64"
    os.sched_setaffinity(0, {PROCESSORS[int(sixty_four) % len(PROCESSORS)]})


def prepare(prefix, arch, probe_exe):
    # Whatever an earlier run left here (one stopped half-way, or this test repeated) goes first.
    clean_up(prefix)
    make_prefix_folder(prefix)
    ready = os.environ.get("MKVTYPE_READY_PREFIXES")
    if ready:  # where making a prefix costs most of a minute: in the virtual machine
        # Here alone: every case's start would pay for its imports.
        sys.path.insert(0, os.path.join(PROJECT, "scripts", "wine", "vm"))
        import ready_prefixes
        ready_prefixes.make_or_unpack(ready, prefix, dict(wine_environment(prefix), WINEARCH=arch))
        start_server(prefix, probe_exe)
    else:
        # The run's one server is started first, and the prefix made under it by the first
        # program: a server of wineboot's own would have to be stopped and the services
        # started again, a second or more.
        start_server(prefix, probe_exe, arch)
    os.makedirs(prefix + ".pristine")
    with open(pristine_dump(prefix), "w") as file:
        file.write(dump_watched(prefix, probe_exe))


def folder_above_the_prefixes(prefix):
    return os.path.dirname(os.path.dirname(prefix))


@contextlib.contextmanager
def shared_parent_held(prefix):
    """Holds the folder the two prefixes share, while one is made in it or it is removed:
    prepared at once, as at the start of a run, each prefix cleans up first, and the other's
    `make_prefix_folder` would otherwise find the parent gone between making it and making the
    prefix in it. The lock is on the folder above, which stays."""
    above = os.open(folder_above_the_prefixes(prefix), os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(above, fcntl.LOCK_EX)
        yield
    finally:
        os.close(above)


def make_prefix_folder(prefix):
    os.makedirs(folder_above_the_prefixes(prefix), exist_ok=True)
    with shared_parent_held(prefix):
        parent = os.path.dirname(prefix)
        os.makedirs(parent, mode=0o700, exist_ok=True)
        refuse_anothers_folder(parent)
        os.makedirs(prefix)


def refuse_anothers_folder(folder):
    """The prefixes' shared folder has a name that anyone can foresee, in a place where anyone
    may make folders (/dev/shm): one that another account made first, or may write in, could
    have the prefixes swapped under the wine programs that these tests run."""
    info = os.lstat(folder)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid() or info.st_mode & 0o022:
        raise SystemExit(f"{folder} is not a folder of this account's own, which only it may "
                         f"write in: remove it, and run the tests again")


def finish(prefix):
    """Stops the prefix's wine server and waits until it is gone. It is sent SIGINT, as
    `wineserver --kill` sends it, and then waited for: `--kill` itself looks again only once a
    second, and so took 0.75 s where the server is gone in 0.5 s."""
    env = wine_environment(prefix)
    subprocess.run(["wineserver", f"--kill={signal.SIGINT.value}"], env=env, check=False)
    subprocess.run(["wineserver", "--wait"], env=env, check=False, timeout=120)


def clean_up(prefix):
    """Stops the prefix's wine server and removes the prefix, with what the run kept beside it:
    without its server, which held the keys' security, it is of no use for another run. The
    server goes first: it would write into the folder while it is removed."""
    if os.path.isdir(prefix):
        finish(prefix)
    for path in (prefix, prefix + ".pristine"):
        shutil.rmtree(path, ignore_errors=True)
    with contextlib.suppress(FileNotFoundError):
        os.remove(prefix + ".removal.log")
    parent = os.path.dirname(prefix)
    if os.path.isdir(parent):
        with shared_parent_held(prefix), contextlib.suppress(OSError):  # the other may be there
            os.rmdir(parent)


def start_server(prefix, probe_exe, arch=None):
    """Starts the prefix's wine server for the rest of the run, and the services the first
    program starts, with no output of ours: a server that held a pipe of a later call would keep
    that call waiting until it exits. Kept running, it also keeps key security, which Wine does
    not save to its files. Does nothing where the server runs already.

    With the server, a program that keeps the desktop open: Wine closes it soon after its last
    program goes, and each later program that loads user32 (cmd, reg, msiexec) would wait for
    explorer.exe to open it again, about a second."""
    env = wine_environment(prefix)
    if arch:  # a prefix to make: WINEARCH, and the first program makes it
        env["WINEARCH"] = arch
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = subprocess.run(["wineserver", "--persistent"], env=env, check=False, **quiet)
    if started.returncode == 0:  # 2: it was running
        subprocess.run(["wine", probe_exe], env=env, check=True, **quiet)
        holder = os.path.join(os.path.dirname(probe_exe), "msiprobe.exe")
        subprocess.Popen(["wine", holder, "hold"], env=env, start_new_session=True, **quiet)


def reset_registry(prefix, probe_exe, setup=(), read=False):
    """Back to the watched keys the prefix was made with, whatever the last case did to them,
    and then into the case's starting state: `setup`, regprobe's commands. With `read`, returns
    the state it starts from, as `read_state` reads it. One regprobe run, in the running
    server."""
    start_server(prefix, probe_exe)
    said = probe(prefix, probe_exe, RESET + list(setup) + (DUMP_WATCHED if read else []))
    return parse_state(said) if read else None


def restart_registry(prefix, probe_exe):
    """Stops the server, which saves the registry to its files, and starts it again from them:
    what lived only in memory is gone."""
    finish(prefix)
    start_server(prefix, probe_exe)


def is_64_bit(prefix):
    return os.path.isdir(os.path.join(prefix, "drive_c", "windows", "syswow64"))


def probe(prefix, exe, commands):
    """What a probe program (regprobe.exe, msiprobe.exe) prints for `commands`; fails where it
    fails."""
    result = subprocess.run(["wine", exe, *commands], env=wine_environment(prefix),
                            capture_output=True, timeout=300, check=False)
    if result.returncode != 0:
        raise AssertionError(f"{os.path.basename(exe)} failed: "
                             f"{result.stderr.decode(errors='replace')}")
    return result.stdout.decode("latin-1").replace("\r", "")


DUMP_WATCHED = [f"dump {view} {key}" for view in ("32", "64") for key in WATCHED]


def dump_watched(prefix, exe):
    return probe(prefix, exe, DUMP_WATCHED)


def read_state(prefix, exe):
    return parse_state(dump_watched(prefix, exe))


def parse_state(output):
    """{(view, key): None} for keys and {(view, key, name): (type, size, data)} for values."""
    state = {}
    for line in output.splitlines():
        kind, view, rest = line.split(" ", 2)
        if kind == "missing":
            continue
        if kind == "key":
            state[(view, rest.lower())] = None
        elif kind == "value":
            key, rest = rest.split(' "', 1)
            name, rest = rest.split('" ', 1)
            value_type, size, data = (rest.split(" ") + [""])[:3]
            state[(view, key.lower(), name.lower())] = (int(value_type), int(size), data)
    return state


def expected_state(before, case, sixty_four):
    state = dict(before)
    for key, name, value_type, data in case.lands:
        # The player's keys are redirected for a 32-bit program; the class key is shared.
        views = ("32",) if sixty_four and key != CLASS else ("32", "64")
        for view in views:
            state[(view, key.lower())] = None
            state[(view, key.lower(), name.lower())] = (value_type, len(data), data.hex())
    return state


def run_tool(prefix, exe, args, at_once):
    env = wine_environment(prefix)
    # Runs at once may take every processor there is, to meet as they would on Windows.
    spread = (lambda: os.sched_setaffinity(0, PROCESSORS)) if at_once > 1 else None
    processes = [subprocess.Popen(["wine", exe, *args], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, preexec_fn=spread)
                 for _ in range(at_once)]
    for process in processes:
        out, err = process.communicate(timeout=120)
        assert process.returncode == 0, f"exit status {process.returncode}"
        assert out == b"" and err == b"", f"printed {out!r} {err!r}"


def describe(state):
    return "\n".join(f"  {k} = {v}" if v is not None else f"  {k}" for k, v in sorted(state.items()))


def run(prefix, case_name, exe, probe_exe):
    case = next(c for c in CASES if c.name == case_name)
    before = reset_registry(prefix, probe_exe, case.setup, read=True)
    for _ in range(case.runs):
        run_tool(prefix, exe, case.args, case.at_once)
    if case.restart:
        restart_registry(prefix, probe_exe)
    after = read_state(prefix, probe_exe)
    expected = expected_state(before, case, is_64_bit(prefix))
    if after != expected:
        missing = {k: v for k, v in expected.items() if after.get(k, 0) != v}
        unexpected = {k: v for k, v in after.items() if expected.get(k, 0) != v}
        raise AssertionError(f"registry after the run differs\nexpected, not found:\n"
                             f"{describe(missing)}\nfound, not expected:\n{describe(unexpected)}")
    print(f"{case_name}: registry as expected ({len(after)} keys and values read back)")


def table_main(argv, doc, cases, run_case, run_arguments, **more):
    """The command line of a table of cases: `list`, `run` with `run_arguments` arguments, and
    the commands in `more`, each named with (argument count, function)."""
    command = argv[1] if len(argv) > 1 else ""
    commands = {"run": (run_arguments, run_case), **more}
    if command == "list":
        print(";".join(case.name for case in cases))
    elif command in commands and len(argv) - 2 == commands[command][0]:
        keep_to_the_prefixs_cpu(argv[2], argv[3] if command == "prepare" else None)
        commands[command][1](*argv[2:])
    else:
        sys.exit(doc)


# Every way a case changes the watched keys, in two rounds, since ".MKV" is either a key whose
# DACL refuses things or a link.
DAMAGE = [
    player("32") + player("64") + [
        value(view, key, "76", REG_DWORD, b"\x07\0\0\0") for view in ("32", "64")
        for key in (DESCRIPTIONS, TYPES)] + [
        f"key 32 {TYPES}\\Sub\\Deeper", value("32", CLASS, "", REG_SZ, sz("Old")),
        f"key 32 {CLASS}\\ShellNew", f"deny 32 {TYPES}\\Sub 0x20019",
        f"deny 32 {EXTENSIONS} 0x2", f"deny 64 {DESCRIPTIONS} 0x20006",
        f"deny 32 {CLASS} 0x20000", f"refused 32 {TYPES}\\Sub 0x20019",
        f"refused 64 {DESCRIPTIONS} 0x20006", f"refused 32 {CLASS} 0x20009"],
    player("32") + [f"uncreatable 32 {CLASS}"],
]


def check_reset(prefix, exe, probe_exe):
    with open(pristine_dump(prefix)) as file:
        pristine = file.read()
    for number, damage in enumerate(DAMAGE, 1):
        # regprobe fails where a change does not take, and its "refused" commands check the
        # DACLs; some of them refuse the dump itself.
        reset_registry(prefix, probe_exe, damage)
        run_tool(prefix, exe, (), 1)
        reset_registry(prefix, probe_exe)
        after = dump_watched(prefix, probe_exe)
        assert after == pristine, (f"round {number}: after the reset\n{after}\nnot as the "
                                   f"prefix was made:\n{pristine}")
        print(f"round {number}: the reset undid {len(damage)} changes and a run of the tool")


if __name__ == "__main__":
    table_main(sys.argv, __doc__, CASES, run, 4, prepare=(3, prepare),
               **{"clean-up": (1, clean_up), "check-reset": (3, check_reset)})
