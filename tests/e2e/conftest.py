"""The end-to-end suite's set-up: one throwaway Wine machine for the whole
session, and each build given with --exe as a parameter of every case. A
32-bit build runs only where this machine runs 32-bit programs and Wine has
its 32-bit half; elsewhere its cases are skipped, with the reason."""

import dataclasses
import os
import signal
import struct

import pytest

from winehost import WineHost, WineMissing, why_32bit_cannot_run

MACHINES = {0x14C: "i386", 0x8664: "amd64"}


def pytest_addoption(parser):
    group = parser.getgroup("uninstall end-to-end")
    group.addoption("--exe", action="append", default=[],
                    help="a Windows build of Uninstall.exe; may be given more than once")
    group.addoption("--tools", help="folder of the 64-bit stand-in programs")
    group.addoption("--keep", action="store_true", help="keep the Wine prefix")


@dataclasses.dataclass(frozen=True)
class Build:
    exe: str
    machine: str  # "i386" or "amd64"

    @property
    def system_folder(self):
        """Where the program really lands when this build starts
        ...\\system32\\MsiExec.exe: a 32-bit process is redirected."""
        return "syswow64" if self.machine == "i386" else "system32"


def pe_machine(path):
    with open(path, "rb") as image:
        header = image.read(4096)
    if header[:2] != b"MZ":
        raise pytest.UsageError(f"{path} is not a Windows executable")
    offset = struct.unpack_from("<I", header, 0x3C)[0]
    if header[offset:offset + 4] != b"PE\0\0":
        raise pytest.UsageError(f"{path} is not a Windows executable")
    machine = struct.unpack_from("<H", header, offset + 4)[0]
    if machine not in MACHINES:
        raise pytest.UsageError(f"{path}: machine {machine:#x} is neither i386 nor amd64")
    return MACHINES[machine]


def pytest_configure(config):
    builds = []
    for exe in config.getoption("exe"):
        exe = os.path.abspath(exe)
        if not os.path.isfile(exe):
            raise pytest.UsageError(f"no such executable: {exe}")
        builds.append(Build(exe, pe_machine(exe)))
    config.uninstall_builds = builds
    # A test runner that gives up on the suite sends SIGTERM: leave the way an
    # interrupt does, so that Wine and Xvfb are still torn down.
    signal.signal(signal.SIGTERM, signal.default_int_handler)


def pytest_generate_tests(metafunc):
    if "build" in metafunc.fixturenames:
        builds = metafunc.config.uninstall_builds
        if not builds:
            raise pytest.UsageError("give at least one build with --exe")
        metafunc.parametrize("build", builds, ids=[b.machine for b in builds],
                             indirect=True, scope="session")


@pytest.fixture(scope="session")
def host(pytestconfig):
    tools = pytestconfig.getoption("tools")
    if not tools:
        raise pytest.UsageError("--tools is needed")
    try:
        with WineHost(tools, keep=pytestconfig.getoption("keep")) as wine:
            yield wine
    except WineMissing as missing:
        pytest.fail(str(missing), pytrace=False)


@pytest.fixture(scope="session")
def build(request, host):
    built = request.param
    if built.machine == "i386":
        reason = why_32bit_cannot_run()
        if reason is None and not host.wow64:
            reason = "the Wine prefix has no syswow64 folder"
        if reason is not None:
            pytest.skip(f"32-bit build not run on this machine: {reason}")
    return built
