#!/usr/bin/python3
"""Checks the static facts of a built Uninstall.exe that a user's machine
depends on: the right machine and subsystem, only system DLLs imported, the
elevation manifest, the version resource, the hardening flags and the size
budget."""

import argparse
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pefile

MACHINES = {"i386": (0x14C, 0x10B), "amd64": (0x8664, 0x20B)}  # machine, optional-header magic
GUI_SUBSYSTEM = 2
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll", "ole32.dll"}
DYNAMIC_BASE, HIGH_ENTROPY_VA, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE = 0x40, 0x20, 0x100, 0x400, 0x8000
RELOCS_STRIPPED = 0x1
MEM_EXECUTE, MEM_WRITE = 0x20000000, 0x80000000
BASERELOC = 5
# An x86 exception handler frame is registered by storing into fs:[0].
SEH_FRAME_STORE = re.compile(r"\bmov\s+%\w+,%fs:0x0\b|\bpush[lw]?\s+%fs:0x0\b.*|\bpop[lw]?\s+%fs:0x0\b")
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


def four_parts(most, least):
    return [most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF]


def seh_frame_stores(objdump, path):
    listing = subprocess.run([objdump, "-d", path], check=True, stdout=subprocess.PIPE,
                             text=True).stdout
    return [line.strip() for line in listing.splitlines() if SEH_FRAME_STORE.search(line)]


def stack_protected_objects(nm, library):
    listing = subprocess.run([nm, "-A", library], check=True, stdout=subprocess.PIPE,
                             text=True).stdout
    return {line.split(":")[1] for line in listing.splitlines()
            if re.search(r"\sU _*__stack_chk_fail$", line)}


def check(path, machine, max_size, version=None, objdump=None, logic_library=None, nm=None):
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

    if version is not None:
        wanted = [int(part) for part in version.split(".")] + [0]
        fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
        for name in ("File", "Product"):
            found = None if fixed is None else four_parts(getattr(fixed, name + "VersionMS"),
                                                          getattr(fixed, name + "VersionLS"))
            expect(found == wanted, f"{name.upper()}VERSION {found} is the project version {version}")
            text = ".".join(map(str, wanted))
            expect(strings.get(name + "Version") == text,
                   f"{name}Version string {strings.get(name + 'Version')!r} is {text!r}")

    header = pe.OPTIONAL_HEADER
    flags = header.DllCharacteristics
    relocations = header.DATA_DIRECTORY[BASERELOC].Size
    expect(flags & DYNAMIC_BASE and relocations > 0 and not pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED,
           f"ASLR: DYNAMIC_BASE with {relocations} bytes of base relocations")
    expect(flags & NX_COMPAT, "DEP: NX_COMPAT")
    expect(flags & TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE")
    if machine == "i386":
        expect(flags & NO_SEH, "NO_SEH")
        if objdump is not None:
            stores = seh_frame_stores(objdump, path)
            expect(not stores, f"no exception handler frame registered through fs:[0]: {stores[:3]}")
    else:
        expect(flags & HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA")
    both = [s.Name.rstrip(b"\0").decode() for s in pe.sections
            if s.Characteristics & MEM_WRITE and s.Characteristics & MEM_EXECUTE]
    expect(not both, f"no section both writable and executable: {both}")
    expect(header.CheckSum != 0 and header.CheckSum == pe.generate_checksum(),
           f"PE checksum {header.CheckSum:#x} is valid")
    versions = [(header.MajorSubsystemVersion, header.MinorSubsystemVersion),
                (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion)]
    expect(versions == [(6, 0), (6, 0)], f"subsystem and OS versions 6.0: {versions}")
    if logic_library is not None:
        protected = stack_protected_objects(nm, logic_library)
        # The first argument is cut into a buffer on the entry's stack frame.
        expect("uninstall.cpp.obj" in protected,
               f"stack protector in the code that holds the argument buffer: {sorted(protected)}")

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
    parser.add_argument("--version", help="the project version, X.Y.Z")
    parser.add_argument("--objdump", help="the target's objdump, to look for SEH frames")
    parser.add_argument("--logic-library", help="the program's logic library, to look for the stack protector")
    parser.add_argument("--nm", help="the target's nm, with --logic-library")
    args = parser.parse_args()
    failures = check(args.exe, args.machine, args.max_size, args.version, args.objdump,
                     args.logic_library, args.nm)
    if failures:
        print(f"{len(failures)} static checks failed", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
