"""make release: the shipped file as it is, or signed with Authenticode, with
SHA256SUMS, in a folder that appears whole or not at all."""

import hashlib
import os
import shutil
import subprocess

import pytest

from conftest import TOP

RELEASE = os.path.join(TOP, "scripts", "release.sh")
CHECK_PE = os.path.join(TOP, "tests", "static", "check_pe.py")
OSSLSIGNCODE = "/usr/bin/osslsigncode"
DESCRIPTION = "USB storage package uninstaller"


def release(built, dist, **signing):
    env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
    env.update(signing)
    result = subprocess.run([RELEASE, built, dist], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def sha256(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def sums(dist):
    with open(os.path.join(dist, "SHA256SUMS")) as listing:
        return {name: digest for digest, name in (line.split("  ") for line in listing.read().splitlines())}


def verify(path, cert):
    return subprocess.run([OSSLSIGNCODE, "verify", "-CAfile", cert, "-in", path],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def test_unsigned_release_is_the_reproducible_build(built, tmp_path):
    dist = str(tmp_path / "dist")
    code, output = release(built, dist)
    assert code == 0, output
    assert "unsigned" in output
    assert sorted(os.listdir(dist)) == ["SHA256SUMS", "Uninstall.exe"]
    with open(built, "rb") as a, open(os.path.join(dist, "Uninstall.exe"), "rb") as b:
        assert a.read() == b.read()
    assert sums(dist) == {"Uninstall.exe": sha256(built)}


SIGNING_FORMS = {
    "pem": lambda m: {"SIGN_CERT": m["cert"], "SIGN_KEY": m["key"]},
    "pkcs12": lambda m: {"SIGN_PKCS12": m["pkcs12"], "SIGN_PASSWORD": m["password"]},
}


@pytest.fixture(scope="session", params=sorted(SIGNING_FORMS))
def signed_release(request, built, signing, tmp_path_factory):
    dist = str(tmp_path_factory.mktemp("signed-" + request.param) / "dist")
    code, output = release(built, dist, **SIGNING_FORMS[request.param](signing))
    assert code == 0, output
    assert "signed with Authenticode" in output
    return dist


def test_signed_release_verifies_against_its_certificate(signed_release, signing):
    checked = verify(os.path.join(signed_release, "Uninstall.exe"), signing["cert"])
    assert checked.returncode == 0, checked.stdout
    assert "Message digest algorithm  : SHA256" in checked.stdout
    assert "Text description: " + DESCRIPTION in checked.stdout


def test_signed_release_lists_the_signed_and_the_unsigned_bytes(signed_release, built):
    assert sorted(os.listdir(signed_release)) == ["SHA256SUMS", "Uninstall.exe"]
    assert sums(signed_release) == {"Uninstall.exe": sha256(os.path.join(signed_release, "Uninstall.exe")),
                                    "Uninstall.unsigned.exe": sha256(built)}


def test_removing_the_signature_gives_back_the_build(signed_release, built, tmp_path):
    stripped = str(tmp_path / "stripped.exe")
    subprocess.run([OSSLSIGNCODE, "remove-signature", "-in", os.path.join(signed_release, "Uninstall.exe"),
                    "-out", stripped], check=True, stdout=subprocess.DEVNULL)
    with open(built, "rb") as a, open(stripped, "rb") as b:
        assert a.read() == b.read()


def test_one_changed_byte_fails_verification(signed_release, signing, tmp_path):
    tampered = str(tmp_path / "tampered.exe")
    shutil.copyfile(os.path.join(signed_release, "Uninstall.exe"), tampered)
    with open(tampered, "r+b") as image:
        image.seek(0x1000)  # inside the code
        byte = image.read(1)
        image.seek(0x1000)
        image.write(bytes([byte[0] ^ 0x01]))
    checked = verify(tampered, signing["cert"])
    assert checked.returncode != 0, checked.stdout


def test_signed_file_keeps_the_static_facts(signed_release, built):
    # The size budget is the program's; the signature's size is that of the
    # vendor's certificate chain.
    result = subprocess.run(["/usr/bin/python3", CHECK_PE, os.path.join(signed_release, "Uninstall.exe"),
                             "--machine", "i386"], stdout=subprocess.PIPE, text=True)
    assert result.returncode == 0, result.stdout


def test_signed_file_hands_off_under_wine(signed_release, tools):
    result = subprocess.run(
        ["/usr/bin/python3", "-B", "-m", "pytest", os.path.join(TOP, "tests", "e2e"),
         "-p", "no:cacheprovider", "-q", "-rs", "-k", "hand_off_starts_setup",
         "--exe", os.path.join(signed_release, "Uninstall.exe"), "--tools", tools],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert result.returncode == 0, result.stdout
    if "1 passed" not in result.stdout:
        reasons = [line for line in result.stdout.splitlines() if line.startswith("SKIPPED")]
        pytest.skip("the end-to-end case was skipped: " + (reasons or ["no reason given"])[0])


BAD_INPUT = {
    "missing certificate": (lambda m, t: {"SIGN_CERT": os.path.join(t, "nothing.pem"), "SIGN_KEY": m["key"]},
                            "cannot read the certificate"),
    "key without certificate": (lambda m, t: {"SIGN_KEY": m["key"]}, "SIGN_CERT and SIGN_KEY go together"),
    "someone else's key": (lambda m, t: {"SIGN_CERT": m["cert"], "SIGN_KEY": m["other_key"]},
                           "signing failed"),
    "wrong password": (lambda m, t: {"SIGN_PKCS12": m["pkcs12"], "SIGN_PASSWORD": "guess"}, "signing failed"),
    "missing PKCS#12 file": (lambda m, t: {"SIGN_PKCS12": os.path.join(t, "nothing.p12")},
                             "cannot read the PKCS#12 file"),
}


@pytest.mark.parametrize("case", sorted(BAD_INPUT))
def test_bad_signing_input_fails_and_leaves_no_release(case, built, signing, tmp_path):
    form, message = BAD_INPUT[case]
    fresh, earlier = str(tmp_path / "fresh"), str(tmp_path / "earlier")
    assert release(built, earlier)[0] == 0
    before = {name: sha256(os.path.join(earlier, name)) for name in os.listdir(earlier)}

    for dist in (fresh, earlier):
        code, output = release(built, dist, **form(signing, str(tmp_path)))
        assert code != 0
        assert "release: " + message in output
    assert not os.path.exists(fresh)
    assert {name: sha256(os.path.join(earlier, name)) for name in os.listdir(earlier)} == before
    assert sorted(os.listdir(tmp_path)) == ["earlier"]
