"""The release step's checks, run on the shipped 32-bit build. Signing
material is made for each run: a throwaway code-signing certificate from
openssl, never a real key."""

import os
import subprocess

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OPENSSL = "/usr/bin/openssl"


def pytest_addoption(parser):
    parser.addoption("--exe", required=True, help="the shipped 32-bit Uninstall.exe")
    parser.addoption("--tools", required=True, help="folder of the end-to-end stand-in programs")


@pytest.fixture(scope="session")
def built(pytestconfig):
    return os.path.abspath(pytestconfig.getoption("exe"))


@pytest.fixture(scope="session")
def tools(pytestconfig):
    return os.path.abspath(pytestconfig.getoption("tools"))


def make_certificate(folder, name, subject):
    key, cert = os.path.join(folder, name + ".key.pem"), os.path.join(folder, name + ".cert.pem")
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=" + subject,
                    "-addext", "keyUsage=critical,digitalSignature",
                    "-addext", "extendedKeyUsage=codeSigning"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


@pytest.fixture(scope="session")
def signing(tmp_path_factory):
    """Throwaway material: cert and key (PEM), the same in a PKCS#12 file with
    its password, and another vendor's key."""
    folder = str(tmp_path_factory.mktemp("signing"))
    cert, key = make_certificate(folder, "vendor", "Sample vendor code signing")
    _, other_key = make_certificate(folder, "other", "Someone else")
    pkcs12 = os.path.join(folder, "vendor.p12")
    subprocess.run([OPENSSL, "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pkcs12,
                    "-passout", "pass:s3cret pass"], check=True)
    return {"cert": cert, "key": key, "pkcs12": pkcs12, "password": "s3cret pass",
            "other_key": other_key}
