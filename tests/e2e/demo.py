#!/usr/bin/python3
"""Shows the uninstaller's main job end to end in a throwaway Wine machine,
with the real Windows Installer: the sample package is installed, its
companion marks a drive, Uninstall.exe -O clears the marked entry, closes the
companion and has the Windows Installer remove the product; then, with the
package installed again, the hand-off to its setup program. The shipped 32-bit
build runs where this machine runs 32-bit programs, else the 64-bit build."""

import argparse
import os
import re
import signal
import sys
import time

from winehost import (DRIVE_ICONS, INSTALLED_FOLDER, PACKAGE_VIEW, REG_SZ, UNINSTALL_ENTRY,
                      WineHost, WineMissing, build_sample_package, wait_until,
                      why_32bit_cannot_run)

TYPE_NAMES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 4: "REG_DWORD"}
PRODUCT_STATES = {5: "installed (5)", -1: "unknown to the Windows Installer (-1)"}
# Someone else's entry for drive H: no marker, so it must stay as it is.
OTHER_ENTRY = [
    ("V", DRIVE_ICONS + r"\H\DefaultIcon", "", REG_SZ, b"C:\\Other\\camera.ico\0"),
    ("V", DRIVE_ICONS + r"\H\DefaultLabel", "", REG_SZ, b"Camera\0"),
]


def show_value(value_type, data):
    if value_type in (1, 2):
        text = data[:-1] if data.endswith(b"\0") else data
        shown = '"' + text.decode("latin-1") + '"'
    else:
        shown = data.hex()
    return f"{shown}  ({TYPE_NAMES.get(value_type, value_type)}, {len(data)} bytes)"


def print_registry(title, dump, before=None):
    print(f"\n{title}: HKLM\\{DRIVE_ICONS}")
    if dump is None:
        print("  (key missing)")
        return
    root_length = len(DRIVE_ICONS) + 1
    for key in sorted(dump["keys"], key=str.lower):
        if key == DRIVE_ICONS:
            continue
        relative = key[root_length:]
        depth = relative.count("\\")
        print("  " + "  " * depth + relative.split("\\")[-1])
        for (path, name), (value_type, data) in sorted(dump["values"].items()):
            if path != key:
                continue
            changed = before is not None and before["values"].get((path, name)) != (value_type, data)
            mark = "   <- changed" if changed else ""
            print("  " + "  " * (depth + 1) + f"{name or '(default)'} = {show_value(value_type, data)}{mark}")


def print_package(host):
    folder = host.installed_folder()
    files = sorted(os.listdir(folder)) if os.path.isdir(folder) else None
    entry = host.dump_registry(UNINSTALL_ENTRY, view=PACKAGE_VIEW)
    print(f"  product state: {PRODUCT_STATES.get(host.product_state(), host.product_state())}")
    print(f"  {INSTALLED_FOLDER}: " + (", ".join(files) if files else "gone"))
    print(f"  Add/Remove Programs entry (32-bit view): {'present' if entry else 'gone'}")


def print_events(host, began):
    for event in host.events():
        at = (event["t"] - began) / 10000  # QueryPerformanceCounter ticks are 100 ns under Wine
        who, what = event["who"], event["what"]
        if who == "launcher" and what == "end":
            print(f"  +{at:7.0f} ms  Uninstall.exe exited with code {event['exit_code']} "
                  f"after {event['elapsed_ms']} ms")
        elif who == "companion" and what == "close-received":
            print(f"  +{at:7.0f} ms  companion window \"Nolvex\" got WM_CLOSE")
        elif who == "companion" and what == "closed":
            print(f"  +{at:7.0f} ms  companion window \"Nolvex\" has closed")
        elif what == "start" and who not in ("launcher", "companion"):
            print(f"  +{at:7.0f} ms  started {event['exe']}")
            print(f"               command line: {event['cmdline']}")
            print(f"               show command {event['show']}, directory {event['cwd']}")


def launcher_start(host):
    return host.events("launcher", "start")[0]["t"]


def print_installer_launch(host):
    """The Windows Installer's command line as Wine's process trace of the
    last run saw it."""
    pattern = re.compile(r'CreateProcessInternalW app \S+ cmdline L"(.*MsiExec\.exe.*)"\s*$',
                         re.IGNORECASE)
    for line in host.last_stderr().splitlines():
        found = pattern.search(line)
        if found:
            command_line = found.group(1).replace("\\\\", "\\").replace('\\"', '"')
            print(f"  Windows Installer started (Wine's process trace): {command_line}")
            return


def choose_build(exe32, exe64):
    reason = why_32bit_cannot_run()
    if reason is None:
        return exe32, "the shipped 32-bit build, under WoW64"
    print(f"The shipped 32-bit file cannot run here: {reason};\n"
          f"so the 64-bit build of the same sources stands in for the shipped 32-bit file.")
    return exe64, "the 64-bit build (fallback)"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe32", required=True, help="the shipped 32-bit Uninstall.exe")
    parser.add_argument("--exe64", required=True, help="the 64-bit build of the same sources")
    parser.add_argument("--tools", required=True)
    args = parser.parse_args()
    exe, which = choose_build(os.path.abspath(args.exe32), os.path.abspath(args.exe64))
    command_line = b'"' + INSTALLED_FOLDER.encode() + b'\\Uninstall.exe"'
    trace = {"WINEDEBUG": "-all,trace+process"}

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # still tear Wine down
    began = time.monotonic()
    print("Preparing a throwaway 64-bit Wine machine (a new prefix and an Xvfb display)...")
    try:
        with WineHost(args.tools) as host, host.real_installer():
            print(f"Ready in {time.monotonic() - began:.0f} s. Running {os.path.relpath(exe)}: {which}.")
            msi = build_sample_package(host.tools, os.path.join(host.root, "sample.msi"))

            print("\n=== Install the sample package with the Windows Installer " + "=" * 12)
            print("msiexec /i sample.msi /qn  ->  exit code", host.install_package(msi))
            print_package(host)

            print("\n=== Removal: Uninstall.exe -O " + "=" * 40)
            host.load_registry(OTHER_ENTRY)
            with host.companion("500", program=INSTALLED_FOLDER + r"\Nolvex.exe",
                                mark_drives="E") as companion:
                before = host.dump_registry(DRIVE_ICONS)
                print("The companion Nolvex.exe runs from the installed folder, with its window "
                      "titled \"Nolvex\", and has marked drive E.")
                print_registry("Drive-icon entries before", before)
                host.clear_events()
                host.launch(exe, command_line + b" -O", INSTALLED_FOLDER, extra_env=trace)
                companion.wait(timeout=10)
            print("\nWhat happened:")
            print_events(host, launcher_start(host))
            print_installer_launch(host)
            print_registry("Drive-icon entries after", host.dump_registry(DRIVE_ICONS), before)
            print("\nOnly the package's entry (E, which carries VIDORUVA) changed: Windows keeps "
                  "a key that has subkeys, so its icon and label values are emptied instead. "
                  "H is someone else's and is untouched.")
            wait_until(lambda: host.product_state() == -1, 60)
            print("\nThe Windows Installer, left to itself, removed the product:")
            print_package(host)

            print("\n=== Hand-off: Uninstall.exe (no argument) " + "=" * 28)
            print("The package installed again:", "exit code", host.install_package(msi))
            host.clear_events()
            host.launch(exe, command_line, INSTALLED_FOLDER, linger_ms=2000)
            host.wait_for("USBSetup.exe", "start")
            print("\nWhat happened:")
            print_events(host, launcher_start(host))
            print("\nIn both runs Uninstall.exe exited at once and left the program it started "
                  "running.")
    except WineMissing as missing:
        print(f"error: {missing}", file=sys.stderr)
        return 2
    print(f"\nDemo finished in {time.monotonic() - began:.0f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
