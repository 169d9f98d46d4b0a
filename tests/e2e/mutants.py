#!/usr/bin/python3
"""Checks that the end-to-end suite catches real faults: builds the 64-bit
program again with one deliberate fault at a time, in a scratch copy of the
sources, and expects `run_e2e.py` to fail against each build.

    tests/e2e/mutants.py [--only NAME]      (after `make e2e` has built the tools)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))

# name: (file, text, replacement)
MUTANTS = {
    "installer by bare name": (
        "src/uninstall.cpp",
        'return FormatString("%s\\\\%s", directory.get(), kInstallerFile);',
        'return FormatString("%s", kInstallerFile);'),
    "close request waits forever": (
        "src/uninstall.cpp", "constexpr unsigned kCloseTimeoutMs = 10000;",
        "constexpr unsigned kCloseTimeoutMs = 0xFFFFFFFF;"),
    "close request not waited for": (
        "src/uninstall.cpp", "constexpr unsigned kCloseTimeoutMs = 10000;",
        "constexpr unsigned kCloseTimeoutMs = 1;"),
    "quoted stretch cut at the limit": (
        "src/command_line.cpp",
        "    while (*cursor != '\\0' && *cursor != '\"') {",
        "    while (*cursor != '\\0' && *cursor != '\"' && length < kMaxArgumentLength) {"),
    "empty quoted pair not skipped": (
        "src/command_line.cpp", "cursor += 2;", "return cursor;"),
    "mode compared without case": (
        "src/uninstall.cpp", "kNoFlags = 0;", "kNoFlags = 1;  // NORM_IGNORECASE"),
    "label value left alone": (
        "src/drive_icons.cpp", '"%s\\\\DefaultLabel"', '"%s\\\\DefaultLabeI"'),
    "value written with its terminator": (
        "src/drive_icons.cpp", "platform::kRegSz, nullptr, 0);",
        'platform::kRegSz, reinterpret_cast<const unsigned char*>(""), 1);'),
    "marker not required": (
        "src/drive_icons.cpp", 'FormatString("%c\\\\%s", drive, kPackageMarker)',
        'FormatString("%c", drive)'),
    "drive walk stops at Z": (
        "src/drive_icons.cpp", "for (; driveMask != 0;", "for (driveMask &= 0x3FFFFFF; driveMask != 0;"),
    "exit code not 0": (
        "src/uninstall.cpp", "  return 0;\n}", "  return 1;\n}"),
    "hand-off shown normally": (
        "src/uninstall.cpp", "platform::kSwShowDefault);", "platform::kSwShow);"),
}


def build_mutant(name, scratch):
    path, text, replacement = MUTANTS[name]
    source = os.path.join(scratch, "src-copy")
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(TOP, source, ignore=shutil.ignore_patterns("build", ".git"))
    target = os.path.join(source, path)
    with open(target) as original:
        code = original.read()
    if text not in code:
        raise SystemExit(f"mutant {name!r}: text not found in {path}")
    with open(target, "w") as mutated:
        mutated.write(code.replace(text, replacement, 1))
    subprocess.run(["cmake", "--preset", "win64"], cwd=source, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "win64", "--target", "Uninstall"], cwd=source,
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(source, "build", "win64", "Uninstall.exe")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--only", default="")
    parser.add_argument("--tools", default=os.path.join(TOP, "build", "win64", "tests", "e2e"))
    args = parser.parse_args()
    caught = missed = 0
    with tempfile.TemporaryDirectory(prefix="uninstall-mutants-") as scratch:
        for name in MUTANTS:
            if args.only not in name:
                continue
            exe = build_mutant(name, scratch)
            result = subprocess.run(
                [sys.executable, os.path.join(HERE, "run_e2e.py"), "--exe", exe, "--tools", args.tools],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            failing = [line for line in result.stdout.splitlines() if line.startswith("FAIL")]
            if result.returncode != 0 and failing:
                caught += 1
                print(f"caught  {name}: {failing[0][:150]}")
            else:
                missed += 1
                print(f"MISSED  {name}")
            sys.stdout.flush()
    print(f"{caught} caught, {missed} missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
