#!/usr/bin/python3
"""Shows the uninstaller's main job end to end in a throwaway Wine machine:
a removal with the package's drive-icon entries and a running companion
window, then a hand-off. Stand-in programs take the place of the Windows
Installer and the package's setup program, and record how they were started."""

import argparse
import os
import signal
import sys
import time

from winehost import DRIVE_ICONS, REG_SZ, WineHost, WineMissing, windows_path

TYPE_NAMES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 4: "REG_DWORD"}


def sz(text):
    return text.encode("latin-1") + b"\0"


SAMPLE = [
    ("D", DRIVE_ICONS),
    # The package's entry for drive E: marked, with icon and label.
    ("K", DRIVE_ICONS + r"\E\VIDORUVA"),
    ("V", DRIVE_ICONS + r"\E\DefaultIcon", "", REG_SZ, sz(r"C:\Program Files\Pkg\usb.ico,0")),
    ("V", DRIVE_ICONS + r"\E\DefaultLabel", "", REG_SZ, sz("Pkg USB Drive")),
    # The package's entry for drive G: marked, icon only.
    ("K", DRIVE_ICONS + r"\G\VIDORUVA"),
    ("V", DRIVE_ICONS + r"\G\DefaultIcon", "", REG_SZ, sz(r"C:\Program Files\Pkg\usb.ico,1")),
    # Someone else's entry for drive H: no marker, so it must stay as it is.
    ("V", DRIVE_ICONS + r"\H\DefaultIcon", "", REG_SZ, sz(r"C:\Other\camera.ico")),
    ("V", DRIVE_ICONS + r"\H\DefaultLabel", "", REG_SZ, sz("Camera")),
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
        elif what == "exit" and who not in ("launcher", "companion"):
            print(f"  +{at:7.0f} ms  {who} (stand-in) ended")
        elif what == "start" and who != "launcher":
            print(f"  +{at:7.0f} ms  started {event['exe']}")
            print(f"               command line: {event['cmdline']}")
            print(f"               show command {event['show']}, directory {event['cwd']}")


def launcher_start(host):
    return host.events("launcher", "start")[0]["t"]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--tools", required=True)
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # still tear Wine down
    began = time.monotonic()
    print("Preparing a throwaway 64-bit Wine machine (a new prefix and an Xvfb display)...")
    try:
        with WineHost(args.tools) as host:
            folder = host.make_directory("package")
            print(f"Ready in {time.monotonic() - began:.0f} s. The package folder "
                  f"{windows_path(folder)} holds a stand-in USBSetup.exe; a stand-in "
                  r"takes the place of C:\windows\system32\msiexec.exe.")

            print("\n=== Removal: Uninstall.exe -O " + "=" * 40)
            host.load_registry(SAMPLE)
            before = host.dump_registry(DRIVE_ICONS)
            print_registry("Drive-icon entries before", before)

            with host.companion("500") as companion:
                print("\nThe companion application is running, with its window titled \"Nolvex\".")
                host.clear_events()
                host.launch(exe, b'"C:\\Program Files\\Pkg\\Uninstall.exe" -O', folder,
                            linger_ms=2000)
                host.wait_for("msiexec.exe", "exit")
                companion.wait(timeout=10)
            print("\nWhat happened:")
            print_events(host, launcher_start(host))
            print_registry("Drive-icon entries after", host.dump_registry(DRIVE_ICONS), before)
            print("\nOnly the package's entries (E and G, which carry VIDORUVA) changed: Windows "
                  "keeps a key that has subkeys, so their icon and label values are emptied "
                  "instead. H is someone else's and is untouched.")

            print("\n=== Hand-off: Uninstall.exe (no argument) " + "=" * 28)
            host.clear_events()
            host.launch(exe, b'"C:\\Program Files\\Pkg\\Uninstall.exe"', folder, linger_ms=2000)
            host.wait_for("USBSetup.exe", "exit")
            print("\nWhat happened:")
            print_events(host, launcher_start(host))
            print("\nIn both runs Uninstall.exe exited at once; the program it started (made to "
                  "linger for 2 s) ended later.")
    except WineMissing as missing:
        print(f"error: {missing}", file=sys.stderr)
        return 2
    print(f"\nDemo finished in {time.monotonic() - began:.0f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
