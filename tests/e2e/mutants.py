#!/usr/bin/python3
"""Checks that the end-to-end suite catches real faults: builds the program
again for one architecture with one deliberate fault at a time, in a scratch
copy of the sources, and expects the suite to fail against each build.

    tests/e2e/mutants.py [--arch win32|win64] [--only NAME]
                                   (after `make e2e` has built the stand-ins)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))

# name: (file, text, replacement, further (text, replacement) pairs in that file)
MUTANTS = {
    # A bare name alone is found in the system directory, which is now the
    # launch's directory: the fault is the bare name searched from the
    # inherited current directory.
    "installer by bare name from the current directory": (
        "src/uninstall.cpp",
        'FormatString("%s\\\\%s", systemDirectory.get(), kInstallerFile);',
        'FormatString("%s", kInstallerFile);',
        ("                          systemDirectory.get(),\n", "                          nullptr,\n")),
    "installer allowed to restart the machine": (
        "src/uninstall.cpp", ' /qn /norestart";', ' /qn";'),
    "installer inherits the current directory": (
        "src/uninstall.cpp", "                          systemDirectory.get(),\n",
        "                          nullptr,\n"),
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
    "start-up calls after the work": (
        "src/platform/platform_win32.cpp", "  PrepareProcess();\n  return UninstallMain();",
        "  const int result = UninstallMain();\n  PrepareProcess();\n  return result;"),
    "exit code not 0": (
        "src/uninstall.cpp", "  return 0;\n}", "  return 1;\n}"),
    "hand-off shown normally": (
        "src/uninstall.cpp", "platform::kSwShowDefault);", "platform::kSwShow);"),
}


def build_mutant(name, scratch, pristine, preset):
    path, *changes = MUTANTS[name]
    changes = [changes[:2]] + list(changes[2:])
    source = os.path.join(scratch, "src-copy")
    shutil.rmtree(source, ignore_errors=True)
    shutil.copytree(pristine, source)
    target = os.path.join(source, path)
    with open(target) as original:
        code = original.read()
    for text, replacement in changes:
        if text not in code:
            raise SystemExit(f"mutant {name!r}: text not found in {path}")
        code = code.replace(text, replacement, 1)
    with open(target, "w") as mutated:
        mutated.write(code)
    subprocess.run(["cmake", "--preset", preset], cwd=source, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", preset, "--target", "Uninstall"], cwd=source,
                   check=True, stdout=subprocess.DEVNULL)
    return os.path.join(source, "build", preset, "Uninstall.exe")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--arch", choices=["win32", "win64"], default="win32",
                        help="the build preset; win32 is the shipped file")
    parser.add_argument("--only", default="")
    parser.add_argument("--tools", default=os.path.join(TOP, "build", "win64", "tests", "e2e"))
    args = parser.parse_args()
    caught = missed = 0
    with tempfile.TemporaryDirectory(prefix="uninstall-mutants-") as scratch:
        # One copy of the tree as it was at the start, whatever changes later.
        pristine = os.path.join(scratch, "pristine")
        shutil.copytree(TOP, pristine, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
        for name in MUTANTS:
            if args.only not in name:
                continue
            exe = build_mutant(name, scratch, pristine, args.arch)
            suite = os.path.join(scratch, "src-copy", "tests", "e2e")
            # -x: the first failing case is enough. A mutant of a build that
            # this machine cannot run is skipped, which counts as missed.
            result = subprocess.run(
                ["/usr/bin/python3", "-B", "-m", "pytest", suite, "-p", "no:cacheprovider", "-x", "-q",
                 "-rf", "--exe", exe, "--tools", args.tools],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            failing = [line for line in result.stdout.splitlines() if line.startswith("FAILED")]
            if result.returncode == 1 and failing:
                caught += 1
                print(f"caught  {name}: {failing[0][:150]}")
            else:
                missed += 1
                print(f"MISSED  {name}")
                print(result.stdout[-3000:])
            sys.stdout.flush()
    print(f"{caught} caught, {missed} missed")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
