"""End-to-end suite: a Windows build of Uninstall.exe run for real under Wine.

It knows the program only from outside: the exact command line goes in; the
registry, the programs started, the window message and the exit code come
out. Stand-in programs record what the uninstaller starts and play the
companion window. Each case runs once for each build given with --exe."""

import os
import re
import shutil

import pytest

from winehost import DRIVE_ICONS, REG_DWORD, REG_EXPAND_SZ, REG_SZ, windows_path as host_path

PRODUCT_REMOVAL = "/X {6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361} /qn /norestart"
SHOW_SHOW, SHOW_DEFAULT = 5, 10
MARKER = "VIDORUVA"
# The drive characters visited with every bit of the mask set: 'A' to '`'.
DRIVE_CHARACTERS = [chr(code) for code in range(0x41, 0x41 + 32)]


def run(host, build, command_line, directory=None, linger_ms=None, keep_events=False, extra_env=None):
    """Runs the uninstaller; checks the exit code that every path must give."""
    if not keep_events:
        host.clear_events()
    directory = directory or host.make_directory("cwd")
    end = host.launch(build.exe, command_line, directory, linger_ms=linger_ms, extra_env=extra_env)
    assert end["exit_code"] == 0
    return end


def expect_mode(host, removal):
    if removal:
        event = host.wait_for("msiexec.exe", "start")
        assert event is not None, "removal mode expected: the Windows Installer was not started"
        assert not host.events("USBSetup.exe", "start"), "USBSetup.exe started in removal mode"
    else:
        event = host.wait_for("USBSetup.exe", "start")
        assert event is not None, "hand-off mode expected: USBSetup.exe was not started"
        assert not host.events("msiexec.exe", "start"), "the Windows Installer started in hand-off mode"
    return event


# -- command lines ------------------------------------------------------------

LONG = b"a" * 4096
COMMAND_LINES = [
    ("no argument", b"Uninstall.exe", False),
    ("empty command line", b"", False),
    ("switch", b"Uninstall.exe -O", True),
    ("switch followed by more", b'"C:\\Program Files\\Pkg\\Uninstall.exe" -O /X more', True),
    ("lower-case o", b"Uninstall.exe -o", False),
    ("slash", b"Uninstall.exe /O", False),
    ("doubled hyphen", b"Uninstall.exe --O", False),
    ("further letter", b"Uninstall.exe -OX", False),
    ("switch in second place", b"Uninstall.exe -U -O", False),
    ("quoted switch", b'Uninstall.exe "-O"', True),
    ("empty quoted argument first", b'Uninstall.exe "" -O', True),
    ("several empty quoted arguments", b'Uninstall.exe ""  "" -O', True),
    ("only the letter quoted", b'Uninstall.exe -"O"', True),
    ("only the hyphen quoted", b'Uninstall.exe "-"O', True),
    ("unclosed quote", b'Uninstall.exe "-O', True),
    ("tab and control characters separate", b"Uninstall.exe\t\x01\x1f-O", True),
    ("high byte belongs to the argument", b"Uninstall.exe \xa0-O", False),
    ("first token is the switch", b"-O", False),
    ("switch twice, no program name", b"-O -O", True),
    ("quoted program name runs on", b'"Uninstall.exe"-O', False),
    ("program name of 4096 spills into the switch", LONG + b"-O", True),
    ("program name of 4095 spills one character", LONG[1:] + b"-O", False),
    ("long quoted program name does not spill", b'"' + LONG + b'-O"', False),
    ("long quoted program name, then the switch", b'"' + LONG + b'xyz" -O', True),
    ("first argument cut to 4096", b"Uninstall.exe -O" + b"x" * 5000, False),
]


@pytest.mark.parametrize("command_line, removal", [(line, removal) for _, line, removal in COMMAND_LINES],
                         ids=[name for name, _, _ in COMMAND_LINES])
def test_command_line_chooses_the_mode(host, build, command_line, removal):
    run(host, build, command_line)
    expect_mode(host, removal)


# -- launches -----------------------------------------------------------------

def test_removal_starts_the_installer_by_full_path_in_the_system_directory(host, build):
    host.load_registry([("D", DRIVE_ICONS)])
    run(host, build, b"Uninstall.exe -O", host.make_directory("cwd"))
    event = expect_mode(host, removal=True)
    # A 32-bit process names system32 and is given syswow64, as on Windows.
    assert event["exe"].lower() == f"c:\\windows\\{build.system_folder}\\msiexec.exe"
    # Wine's ShellExecuteA writes the file name quoted before the parameters.
    assert event["cmdline"] == '"C:\\windows\\system32\\MsiExec.exe" ' + PRODUCT_REMOVAL
    assert event["show"] == SHOW_SHOW
    assert event["cwd"].lower() == r"c:\windows\system32"


def test_hand_off_starts_setup_from_the_current_directory(host, build):
    directory = host.make_directory("cwd")
    run(host, build, b"Uninstall.exe", directory)
    event = expect_mode(host, removal=False)
    assert event["exe"].lower() == (host_path(directory) + "\\USBSetup.exe").lower()
    assert event["cmdline"].endswith(" -U") and event["cmdline"].count("-U") == 1
    assert event["show"] == SHOW_DEFAULT
    assert event["cwd"].lower() == host_path(directory).lower()


def test_neither_mode_waits_for_the_program_it_started(host, build):
    for command_line, who in ((b"Uninstall.exe -O", "msiexec.exe"), (b"Uninstall.exe", "USBSetup.exe")):
        end = run(host, build, command_line, linger_ms=3000)
        assert host.wait_for(who, "start") is not None, f"{who} was not started"
        assert end["elapsed_ms"] < 2500, f"{command_line!r} ran {end['elapsed_ms']} ms"
        # Waiting for the end also keeps its event out of the next case.
        exited = host.wait_for(who, "exit")
        assert exited is not None and exited["t"] > end["t"], f"{who} ended before the uninstaller"


def test_installer_planted_in_current_directory_never_runs(host, build):
    # A bare "MsiExec.exe" is looked for in the current directory before the
    # system folders, so it would start the planted copy.
    directory = host.make_directory("planted")
    shutil.copyfile(host.tool("recorder.exe"), os.path.join(directory, "MsiExec.exe"))
    run(host, build, b"Uninstall.exe -O", directory)
    started = host.wait_for("msiexec.exe", "start")
    assert started is not None
    assert started["exe"].lower() == f"c:\\windows\\{build.system_folder}\\msiexec.exe"


def test_missing_setup_program_is_silent(host, build):
    directory = host.make_directory("empty", with_setup=False)
    end = run(host, build, b"Uninstall.exe", directory)
    assert end["elapsed_ms"] < 5000, f"ran {end['elapsed_ms']} ms"
    started = [e for e in host.events() if e["what"] == "start" and e["who"] != "launcher"]
    assert not started


# -- companion window ---------------------------------------------------------

def test_companion_has_closed_before_the_installer_starts(host, build):
    with host.companion("1500") as companion:
        end = run(host, build, b"Uninstall.exe -O", keep_events=True)
        installer = host.wait_for("msiexec.exe", "start")
        assert installer is not None, "the Windows Installer was not started"
        received = host.events("companion", "close-received")
        closed = host.events("companion", "closed")
        assert len(received) == 1 and len(closed) == 1, f"close events {received} {closed}"
        assert received[0]["wparam"] == 0 and received[0]["lparam"] == 0, "WM_CLOSE arguments"
        assert closed[0]["t"] < installer["t"], "the installer started before the companion closed"
        assert end["elapsed_ms"] >= 1400, f"did not wait for the companion: {end['elapsed_ms']} ms"
        companion.wait(timeout=10)


def test_hung_companion_holds_up_removal_only_to_the_bound(host, build):
    with host.companion("hang"):
        end = run(host, build, b"Uninstall.exe -O", keep_events=True)
        assert host.events("companion", "close-received"), "WM_CLOSE was not delivered"
        assert host.wait_for("msiexec.exe", "start") is not None, "the Windows Installer was not started"
        assert 9000 <= end["elapsed_ms"] <= 30000, f"ran {end['elapsed_ms']} ms, expected about 10 s"


def test_no_companion_window_still_starts_the_installer(host, build):
    run(host, build, b"Uninstall.exe -O")
    expect_mode(host, removal=True)
    assert not host.events("companion", "close-received"), "unexpected close"


# -- registry -----------------------------------------------------------------

def sz(text):
    return text.encode("latin-1") + b"\0"


def entry_lines(name, marker=None, icon=None, label=None, extra=()):
    base = DRIVE_ICONS + "\\" + name
    lines = [("K", base)]
    if marker:
        lines += [("K", base + "\\" + marker), ("V", base + "\\" + marker, "Owner", REG_SZ, sz("pkg"))]
    if icon:
        lines.append(("V", base + "\\" + icon[0], "", icon[1], icon[2]))
        lines.append(("V", base + "\\" + icon[0], "Other", REG_SZ, sz("kept")))
    if label:
        lines.append(("V", base + "\\" + label[0], "", REG_SZ, sz(label[1])))
    return lines + list(extra)


ICON = ("DefaultIcon", REG_SZ, sz("C:\\Pkg\\usb.ico,0"))
LABEL = ("DefaultLabel", "Pkg USB")

REGISTRY_FIXTURE = (
    [("D", DRIVE_ICONS), ("K", DRIVE_ICONS)]
    + entry_lines("E", MARKER, ICON, LABEL, [("V", DRIVE_ICONS + "\\E", "Note", REG_DWORD, b"\1\0\0\0")])
    + entry_lines("f", "vidoruva", ("defaulticon", REG_EXPAND_SZ, sz("%ProgramFiles%\\Pkg\\usb.ico")))
    + entry_lines("G", MARKER, label=LABEL)
    + entry_lines("H", None, ICON, ("DefaultLabel", "Someone else"))        # not the package's
    + entry_lines("K", MARKER)                                             # marker only
    + entry_lines("Z", "ViDoRuVa", ICON, LABEL)
    + entry_lines("[", MARKER, ICON, LABEL)                                # past 'Z'
    + entry_lines("`", MARKER, ICON)                                       # the last position
    + entry_lines("AA", MARKER, ICON, LABEL)                               # not a drive character
    + entry_lines("1", MARKER, ICON)                                       # not a drive character
    # Keys right below the root with the names of an entry's subkeys.
    + [("K", DRIVE_ICONS + "\\" + MARKER),
       ("V", DRIVE_ICONS + "\\DefaultIcon", "", REG_SZ, sz("root icon"))]
)


def expected_after(before):
    """The model: on NT rules a marked entry at a visited position keeps every
    key, and only the default values of its DefaultIcon and DefaultLabel
    subkeys become empty REG_SZ values of zero bytes."""
    root = DRIVE_ICONS.lower()
    keys = {k.lower() for k in before["keys"]}
    values = dict(before["values"])
    for (path, name) in before["values"]:
        parts = path.lower()[len(root) + 1:].split("\\")
        if (name == "" and len(parts) == 2 and parts[1] in ("defaulticon", "defaultlabel")
                and parts[0].upper() in DRIVE_CHARACTERS
                and f"{root}\\{parts[0]}\\{MARKER.lower()}" in keys):
            values[(path, name)] = (REG_SZ, b"")
    return values


def test_removal_empties_only_the_default_values_of_marked_entries(host, build):
    host.load_registry(REGISTRY_FIXTURE)
    before = host.dump_registry(DRIVE_ICONS)
    run(host, build, b"Uninstall.exe -O")
    expect_mode(host, removal=True)
    after = host.dump_registry(DRIVE_ICONS)
    assert after is not None, "the drive-icon key is gone"
    assert after["keys"] == before["keys"]
    changed = sorted((path[len(DRIVE_ICONS) + 1:], name)
                     for (path, name), value in after["values"].items()
                     if before["values"].get((path, name)) != value)
    assert changed == sorted([("E\\DefaultIcon", ""), ("E\\DefaultLabel", ""), ("f\\defaulticon", ""),
                              ("G\\DefaultLabel", ""), ("Z\\DefaultIcon", ""), ("Z\\DefaultLabel", ""),
                              ("[\\DefaultIcon", ""), ("[\\DefaultLabel", ""), ("`\\DefaultIcon", "")])
    assert after["values"] == expected_after(before)


def test_both_registry_views_show_the_same_changed_entries(host, build):
    # Written through the 64-bit view: Windows shares this key between the
    # views, so a 32-bit build changes what 64-bit Explorer reads.
    host.load_registry(REGISTRY_FIXTURE)
    before = host.dump_registry(DRIVE_ICONS, view=64)
    run(host, build, b"Uninstall.exe -O")
    expect_mode(host, removal=True)
    after = {view: host.dump_registry(DRIVE_ICONS, view=view) for view in (32, 64)}
    assert after[32] == after[64]
    assert after[64]["keys"] == before["keys"]
    assert after[64]["values"] == expected_after(before)
    assert after[64]["values"] != before["values"]


def test_missing_drive_icon_key_is_not_created_and_removal_goes_on(host, build):
    host.load_registry([("D", DRIVE_ICONS)])
    with host.companion("0"):
        run(host, build, b"Uninstall.exe -O", keep_events=True)
        assert host.wait_for("msiexec.exe", "start") is not None, "the Windows Installer was not started"
        assert host.events("companion", "closed"), "the companion was not closed"
        assert host.dump_registry(DRIVE_ICONS) is None, "the drive-icon key was created"


def test_hand_off_leaves_the_registry_and_companion_alone(host, build):
    host.load_registry(REGISTRY_FIXTURE)
    before = host.dump_registry(DRIVE_ICONS)
    with host.companion("0"):
        run(host, build, b"Uninstall.exe", keep_events=True)
        expect_mode(host, removal=False)
        assert host.dump_registry(DRIVE_ICONS) == before, "the registry changed"
        assert not host.events("companion", "close-received"), "the companion was asked to close"


# -- start-up -----------------------------------------------------------------

START_UP = ["SetErrorMode", "SetDefaultDllDirectories", "CoInitializeEx"]
# The program's own first call, and what follows it.
OWN_WORK = ["CompareStringA", "RegOpenKeyA", "FindWindowA", "ShellExecuteA"]
RELAY_CALL = re.compile(r"^([0-9a-f]+):Call [\w.]+?\.(\w+)\(")


def test_start_up_calls_come_before_anything_else(host, build):
    # Wine's relay trace, kept to these functions, shows each call with the
    # thread that made it.
    relayed = START_UP + ["SetDllDirectoryA"] + OWN_WORK
    debug_key = r"HKCU\Software\Wine\Debug"
    host.wine(["reg", "add", debug_key, "/v", "RelayInclude", "/d", ";".join(relayed), "/f"])
    try:
        run(host, build, b"Uninstall.exe -O", extra_env={"WINEDEBUG": "-all,+relay"})
        trace = host.last_stderr()
    finally:
        host.wine(["reg", "delete", debug_key, "/v", "RelayInclude", "/f"])
    calls = [found.groups() for found in map(RELAY_CALL.match, trace.splitlines()) if found]
    program_threads = {thread for thread, function in calls if function == "CompareStringA"}
    assert len(program_threads) == 1
    sequence = [function for thread, function in calls if thread in program_threads]
    # Wine has SetDefaultDllDirectories, so the fallback is not taken.
    assert sequence[:4] == START_UP + ["CompareStringA"]
    assert "SetDllDirectoryA" not in sequence
    assert sequence[-1] == "ShellExecuteA"
