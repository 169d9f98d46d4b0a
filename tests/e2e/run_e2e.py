#!/usr/bin/python3
"""End-to-end suite: a Windows build of Uninstall.exe run for real under Wine.

It knows the program only from outside: the exact command line goes in; the
registry, the programs started, the window message and the exit code come
out. Stand-in programs record what the uninstaller starts and play the
companion window."""

import argparse
import os
import shutil
import signal
import sys
import time
import traceback

from winehost import (DRIVE_ICONS, REG_DWORD, REG_EXPAND_SZ, REG_SZ, WineHost, WineMissing,
                      windows_path as host_path)

PRODUCT_REMOVAL = "/X {6E1F0A47-93C2-4B5D-8E07-2D4C19B8F361} /qn"
SHOW_SHOW, SHOW_DEFAULT = 5, 10
MARKER = "VIDORUVA"
# The drive characters visited with every bit of the mask set: 'A' to '`'.
DRIVE_CHARACTERS = [chr(code) for code in range(0x41, 0x41 + 32)]

CASES = []


def case(function):
    CASES.append(function)
    return function


class Failed(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failed(message)


def run(host, exe, command_line, directory=None, linger_ms=None, keep_events=False):
    """Runs the uninstaller; checks the exit code that every path must give."""
    if not keep_events:
        host.clear_events()
    directory = directory or host.make_directory("cwd")
    end = host.launch(exe, command_line, directory, linger_ms=linger_ms)
    expect(end["exit_code"] == 0, f"exit code {end['exit_code']}, expected 0")
    return end


def expect_mode(host, removal):
    if removal:
        event = host.wait_for("msiexec.exe", "start")
        expect(event is not None, "removal mode expected: the Windows Installer was not started")
        expect(not host.events("USBSetup.exe", "start"), "USBSetup.exe started in removal mode")
    else:
        event = host.wait_for("USBSetup.exe", "start")
        expect(event is not None, "hand-off mode expected: USBSetup.exe was not started")
        expect(not host.events("msiexec.exe", "start"), "the Windows Installer started in hand-off mode")
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


def command_line_case(name, command_line, removal):
    def check(host, exe):
        run(host, exe, command_line)
        expect_mode(host, removal)
    check.__name__ = "command line: " + name
    return check


for _name, _line, _removal in COMMAND_LINES:
    case(command_line_case(_name, _line, _removal))


# -- launches -----------------------------------------------------------------

@case
def removal_starts_the_installer_by_full_path(host, exe):
    host.load_registry([("D", DRIVE_ICONS)])
    directory = host.make_directory("cwd")
    run(host, exe, b"Uninstall.exe -O", directory)
    event = expect_mode(host, removal=True)
    expect(event["exe"].lower() == r"c:\windows\system32\msiexec.exe", f"started {event['exe']}")
    expect(event["cmdline"].endswith("MsiExec.exe\" " + PRODUCT_REMOVAL),
           f"command line {event['cmdline']!r}")
    expect(event["show"] == SHOW_SHOW, f"show command {event['show']}")
    expect(event["cwd"].lower() == host_path(directory).lower(), f"directory {event['cwd']}")


@case
def hand_off_starts_setup_from_the_current_directory(host, exe):
    directory = host.make_directory("cwd")
    run(host, exe, b"Uninstall.exe", directory)
    event = expect_mode(host, removal=False)
    expect(event["exe"].lower() == (host_path(directory) + "\\USBSetup.exe").lower(),
           f"started {event['exe']}")
    expect(event["cmdline"].endswith(" -U") and event["cmdline"].count("-U") == 1,
           f"command line {event['cmdline']!r}")
    expect(event["show"] == SHOW_DEFAULT, f"show command {event['show']}")
    expect(event["cwd"].lower() == host_path(directory).lower(), f"directory {event['cwd']}")


@case
def neither_mode_waits_for_the_program_it_started(host, exe):
    for command_line, who in ((b"Uninstall.exe -O", "msiexec.exe"), (b"Uninstall.exe", "USBSetup.exe")):
        end = run(host, exe, command_line, linger_ms=3000)
        expect(host.wait_for(who, "start") is not None, f"{who} was not started")
        expect(end["elapsed_ms"] < 2500, f"{command_line!r} ran {end['elapsed_ms']} ms")
        # Waiting for the end also keeps its event out of the next case.
        exited = host.wait_for(who, "exit")
        expect(exited is not None and exited["t"] > end["t"], f"{who} ended before the uninstaller")


@case
def installer_planted_in_current_directory_never_runs(host, exe):
    # With Wine's own program in system32, a bare "MsiExec.exe" would run the
    # planted copy in the current directory.
    host.install_installer_recorder(False)
    try:
        directory = host.make_directory("planted")
        shutil.copyfile(host.tool("recorder.exe"), os.path.join(directory, "MsiExec.exe"))
        run(host, exe, b"Uninstall.exe -O", directory)
        planted = host.wait_for("MsiExec.exe", "start", timeout=4)
        expect(planted is None, f"the planted installer ran: {planted}")
    finally:
        host.install_installer_recorder(True)
        # Wine's own installer, started by a correct build, goes on starting
        # its service in the background and slows down what comes next.
        host.restart_processes()


@case
def missing_setup_program_is_silent(host, exe):
    directory = host.make_directory("empty", with_setup=False)
    end = run(host, exe, b"Uninstall.exe", directory)
    expect(end["elapsed_ms"] < 5000, f"ran {end['elapsed_ms']} ms")
    expect(not [e for e in host.events() if e["what"] == "start" and e["who"] != "launcher"],
           "something was started")


# -- companion window ---------------------------------------------------------

@case
def companion_has_closed_before_the_installer_starts(host, exe):
    with host.companion("1500") as companion:
        end = run(host, exe, b"Uninstall.exe -O", keep_events=True)
        installer = host.wait_for("msiexec.exe", "start")
        expect(installer is not None, "the Windows Installer was not started")
        received = host.events("companion", "close-received")
        closed = host.events("companion", "closed")
        expect(len(received) == 1 and len(closed) == 1, f"close events {received} {closed}")
        expect(received[0]["wparam"] == 0 and received[0]["lparam"] == 0, "WM_CLOSE arguments")
        expect(closed[0]["t"] < installer["t"], "the installer started before the companion closed")
        expect(end["elapsed_ms"] >= 1400, f"did not wait for the companion: {end['elapsed_ms']} ms")
        companion.wait(timeout=10)


@case
def hung_companion_holds_up_removal_only_to_the_bound(host, exe):
    with host.companion("hang"):
        end = run(host, exe, b"Uninstall.exe -O", keep_events=True)
        expect(host.events("companion", "close-received"), "WM_CLOSE was not delivered")
        expect(host.wait_for("msiexec.exe", "start") is not None, "the Windows Installer was not started")
        expect(9000 <= end["elapsed_ms"] <= 30000, f"ran {end['elapsed_ms']} ms, expected about 10 s")


@case
def no_companion_window_still_starts_the_installer(host, exe):
    run(host, exe, b"Uninstall.exe -O")
    expect_mode(host, removal=True)
    expect(not host.events("companion", "close-received"), "unexpected close")


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


@case
def removal_empties_only_the_default_values_of_marked_entries(host, exe):
    host.load_registry(REGISTRY_FIXTURE)
    before = host.dump_registry(DRIVE_ICONS)
    run(host, exe, b"Uninstall.exe -O")
    expect_mode(host, removal=True)
    after = host.dump_registry(DRIVE_ICONS)
    expect(after is not None, "the drive-icon key is gone")
    expect(after["keys"] == before["keys"],
           f"keys created {sorted(after['keys'] - before['keys'])}, "
           f"removed {sorted(before['keys'] - after['keys'])}")
    changed = sorted((path[len(DRIVE_ICONS) + 1:], name)
                     for (path, name), value in after["values"].items()
                     if before["values"].get((path, name)) != value)
    expect(changed == sorted([("E\\DefaultIcon", ""), ("E\\DefaultLabel", ""), ("f\\defaulticon", ""),
                              ("G\\DefaultLabel", ""), ("Z\\DefaultIcon", ""), ("Z\\DefaultLabel", ""),
                              ("[\\DefaultIcon", ""), ("[\\DefaultLabel", ""), ("`\\DefaultIcon", "")]),
           f"changed values {changed}")
    expect(after["values"] == expected_after(before), "values differ from the model")


@case
def missing_drive_icon_key_is_not_created_and_removal_goes_on(host, exe):
    host.load_registry([("D", DRIVE_ICONS)])
    with host.companion("0"):
        run(host, exe, b"Uninstall.exe -O", keep_events=True)
        expect(host.wait_for("msiexec.exe", "start") is not None, "the Windows Installer was not started")
        expect(host.events("companion", "closed"), "the companion was not closed")
        expect(host.dump_registry(DRIVE_ICONS) is None, "the drive-icon key was created")


@case
def hand_off_leaves_the_registry_and_companion_alone(host, exe):
    host.load_registry(REGISTRY_FIXTURE)
    before = host.dump_registry(DRIVE_ICONS)
    with host.companion("0"):
        run(host, exe, b"Uninstall.exe", keep_events=True)
        expect_mode(host, removal=False)
        expect(host.dump_registry(DRIVE_ICONS) == before, "the registry changed")
        expect(not host.events("companion", "close-received"), "the companion was asked to close")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True, help="64-bit build of Uninstall.exe")
    parser.add_argument("--tools", required=True, help="folder of the stand-in programs")
    parser.add_argument("--filter", default="", help="run only cases whose name holds this")
    parser.add_argument("--keep", action="store_true", help="keep the Wine prefix")
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)
    if not os.path.isfile(exe):
        print(f"no such executable: {exe}", file=sys.stderr)
        return 2

    # A test runner that gives up on the suite sends SIGTERM: leave by the
    # normal way out, so that Wine and Xvfb are still torn down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    began = time.monotonic()
    passed = failed = 0
    try:
        with WineHost(args.tools, keep=args.keep) as host:
            print(f"Wine machine ready in {time.monotonic() - began:.1f} s")
            for check in CASES:
                name = check.__name__.replace("_", " ")
                if args.filter not in name:
                    continue
                case_began = time.monotonic()
                try:
                    check(host, exe)
                    passed += 1
                    print(f"PASS {name} ({time.monotonic() - case_began:.1f} s)")
                except Failed as failure:
                    failed += 1
                    print(f"FAIL {name}: {failure}")
                except Exception:
                    failed += 1
                    print(f"FAIL {name}: error\n{traceback.format_exc()}")
                sys.stdout.flush()
    except WineMissing as missing:
        print(f"error: {missing}", file=sys.stderr)
        return 2
    print(f"end-to-end suite took {time.monotonic() - began:.1f} s")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
