"""The removal done by the real Windows Installer: Wine's own msiexec installs
the sample package (tests/e2e/package/sample.wxs, built with wixl), its
companion runs from the installed folder, and Uninstall.exe -O, with no stand-in
for the installer, must leave the product, its files and its Add/Remove
Programs entry gone."""

import os
import shutil

import pytest

from winehost import (DRIVE_ICONS, INSTALLED_FOLDER, PACKAGE_VIEW, PRODUCT_INSTALLED,
                      PRODUCT_UNKNOWN, UNINSTALL_ENTRY, build_sample_package, wait_until)

REMOVAL_BOUND_S = 60


@pytest.fixture(scope="session")
def sample_package(host):
    return build_sample_package(host.tools, os.path.join(host.root, "sample.msi"))


def test_real_installer_removes_the_package(host, build, sample_package):
    host.load_registry([("D", DRIVE_ICONS)])
    with host.real_installer():
        assert host.install_package(sample_package) == 0
        assert host.product_state() == PRODUCT_INSTALLED
        assert sorted(os.listdir(host.installed_folder())) == ["Nolvex.exe", "USBSetup.exe"]
        assert host.dump_registry(UNINSTALL_ENTRY, view=PACKAGE_VIEW) is not None

        # The installed companion marks drive E and keeps a file of the
        # package in use until it has been asked to close.
        with host.companion("300", program=INSTALLED_FOLDER + r"\Nolvex.exe", mark_drives="E"):
            assert host.dump_registry(DRIVE_ICONS + r"\E\VIDORUVA") is not None
            host.clear_events()
            end = host.launch(build.exe, b'"' + INSTALLED_FOLDER.encode() + b'\\Uninstall.exe" -O',
                              INSTALLED_FOLDER)
            assert end["exit_code"] == 0
            assert host.events("companion", "closed")
        # Started, not waited for: the companion's 300 ms and little more.
        assert end["elapsed_ms"] < 5000

        assert wait_until(lambda: host.product_state() == PRODUCT_UNKNOWN, REMOVAL_BOUND_S), \
            f"the product is still there after {REMOVAL_BOUND_S} s"
        assert wait_until(lambda: not os.path.exists(host.installed_folder()), 10), \
            f"left behind: {os.listdir(host.installed_folder())}"
        for view in (32, 64):
            assert host.dump_registry(UNINSTALL_ENTRY, view=view) is None
        icons = host.dump_registry(DRIVE_ICONS)
        assert icons["values"][(DRIVE_ICONS + r"\E\DefaultIcon", "")] == (1, b"")
        assert icons["values"][(DRIVE_ICONS + r"\E\DefaultLabel", "")] == (1, b"")
    shutil.rmtree(host.installed_folder(), ignore_errors=True)
