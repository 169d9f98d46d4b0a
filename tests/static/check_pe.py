#!/usr/bin/python3
"""Checks the static facts of a built Uninstall.exe that a user's machine
depends on: the right machine and subsystem, only system DLLs imported, the
elevation manifest, the version resource and the size budget."""

import argparse
import sys
import xml.etree.ElementTree as ElementTree

import pefile

MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}  # machine, optional-header magic
GUI_SUBSYSTEM = 2
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
RT_MANIFEST = 24
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


def manifest_of(pe):
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return None
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != RT_MANIFEST:
            continue
        for name in entry.directory.entries:
            if name.id != 1:
                continue
            data = name.directory.entries[0].data.struct
            return pe.get_data(data.OffsetToData, data.Size)
    return None


def version_strings(pe):
    strings = {}
    for info in pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return strings


def check(path, machine, max_size):
    failures = []

    def expect(condition, what):
        print(("ok   " if condition else "FAIL ") + what)
        if not condition:
            failures.append(what)

    with open(path, "rb") as image:
        size = len(image.read())
    pe = pefile.PE(path)
    want_machine, want_magic = MACHINES[machine]
    expect(pe.FILE_HEADER.Machine == want_machine, f"machine is {machine}")
    expect(pe.OPTIONAL_HEADER.Magic == want_magic, "optional header is " +
           ("PE32" if want_magic == 0x10B else "PE32+"))
    expect(pe.OPTIONAL_HEADER.Subsystem == GUI_SUBSYSTEM, "GUI subsystem")

    imported = {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    expect(imported <= SYSTEM_DLLS, f"imports only system DLLs: {sorted(imported)}")

    manifest = manifest_of(pe)
    expect(manifest is not None, "manifest resource 1 present")
    if manifest is not None:
        root = ElementTree.fromstring(manifest)
        levels = [e.get("level") for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
        expect(levels == ["requireAdministrator"], f"execution level {levels}")
        ids = {e.get("Id").lower() for e in root.iter(COMPATIBILITY + "supportedOS")}
        expect(ids == SUPPORTED_OS, "supportedOS from Vista to 10/11")

    strings = version_strings(pe)
    expect(hasattr(pe, "VS_FIXEDFILEINFO"), "fixed version info present")
    expect(strings.get("OriginalFilename") == "Uninstall.exe", "OriginalFilename Uninstall.exe")
    for key in ("FileDescription", "FileVersion", "ProductVersion"):
        expect(bool(strings.get(key)), f"{key} set: {strings.get(key)!r}")

    if max_size is not None:
        expect(size <= max_size, f"size {size} bytes within budget of {max_size}")
    else:
        print(f"size {size} bytes")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe")
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--max-size", type=int)
    args = parser.parse_args()
    failures = check(args.exe, args.machine, args.max_size)
    if failures:
        print(f"{len(failures)} static checks failed", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
