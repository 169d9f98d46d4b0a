#!/usr/bin/env bash
# Makes a release folder from the shipped build: the program, signed with
# Authenticode where signing material is given, and SHA256SUMS.
#
#   release.sh <Uninstall.exe> <release folder>
#
# Signing material, from the environment:
#   SIGN_CERT and SIGN_KEY        a certificate (chain) and its private key, PEM
#   SIGN_PKCS12 [SIGN_PASSWORD]   or one PKCS#12 file and its password
#   SIGN_TIMESTAMP_URL            an RFC 3161 time-stamping service (optional)
#
# The folder appears whole or not at all: everything is made beside it and
# moved into place last, so a failure leaves no half-made release.
set -euo pipefail

fail() {
  echo "release: $*" >&2
  exit 1
}

[ $# -eq 2 ] || fail "usage: release.sh <Uninstall.exe> <release folder>"
built=$1
dist=${2%/}
[ -f "$built" ] || fail "no build at $built"
SIGN_CERT=${SIGN_CERT:-} SIGN_KEY=${SIGN_KEY:-} SIGN_PKCS12=${SIGN_PKCS12:-}
SIGN_PASSWORD=${SIGN_PASSWORD:-} SIGN_TIMESTAMP_URL=${SIGN_TIMESTAMP_URL:-}

material=()
if [ -n "$SIGN_PKCS12" ]; then
  [ -z "$SIGN_CERT$SIGN_KEY" ] || fail "give SIGN_CERT and SIGN_KEY, or SIGN_PKCS12, not both"
  [ -r "$SIGN_PKCS12" ] || fail "cannot read the PKCS#12 file SIGN_PKCS12=$SIGN_PKCS12"
  material=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "$SIGN_CERT$SIGN_KEY" ]; then
  [ -n "$SIGN_CERT" ] && [ -n "$SIGN_KEY" ] || fail "SIGN_CERT and SIGN_KEY go together"
  [ -r "$SIGN_CERT" ] || fail "cannot read the certificate SIGN_CERT=$SIGN_CERT"
  [ -r "$SIGN_KEY" ] || fail "cannot read the private key SIGN_KEY=$SIGN_KEY"
  material=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
fi
if [ ${#material[@]} -gt 0 ] && ! command -v osslsigncode >/dev/null; then
  fail "osslsigncode is missing: run scripts/install-deps.sh"
fi

parent=$(dirname "$dist")
mkdir -p "$parent"
staging=$(mktemp -d "$parent/.release-staging.XXXXXX")
secrets=$(mktemp -d)
trap 'rm -rf "$staging" "$secrets"' EXIT

if [ ${#material[@]} -eq 0 ]; then
  cp "$built" "$staging/Uninstall.exe"
  (cd "$staging" && sha256sum Uninstall.exe >SHA256SUMS)
  signed="unsigned: no signing material was given (SIGN_CERT and SIGN_KEY, or SIGN_PKCS12)"
else
  # The password goes through a private file, never a command line.
  if [ -n "$SIGN_PKCS12" ]; then
    (umask 077 && printf '%s' "$SIGN_PASSWORD" >"$secrets/password")
    material+=(-readpass "$secrets/password")
  fi
  timestamp=()
  [ -z "$SIGN_TIMESTAMP_URL" ] || timestamp=(-ts "$SIGN_TIMESTAMP_URL")
  description=$(/usr/bin/python3 - "$built" <<'PY'
import sys
import pefile
pe = pefile.PE(sys.argv[1])
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        print(info.StringTable[0].entries[b"FileDescription"].decode())
PY
)
  if ! osslsigncode sign "${material[@]}" -h sha256 -n "$description" "${timestamp[@]}" \
       -in "$built" -out "$staging/Uninstall.exe" >"$secrets/log" 2>&1; then
    sed 's/^/  /' "$secrets/log" >&2
    fail "signing failed: check that the key belongs to the certificate, and the password"
  fi
  # Taking the signature off must give back the build's bytes exactly: the
  # signing changed nothing else.
  osslsigncode remove-signature -in "$staging/Uninstall.exe" -out "$secrets/Uninstall.unsigned.exe" \
    >/dev/null 2>&1 || fail "cannot read the signature back"
  cmp -s "$built" "$secrets/Uninstall.unsigned.exe" ||
    fail "the signed file differs from the build beyond its signature"
  (cd "$staging" && sha256sum Uninstall.exe) >"$staging/SHA256SUMS"
  (cd "$secrets" && sha256sum Uninstall.unsigned.exe) >>"$staging/SHA256SUMS"
  signed="signed with Authenticode (SHA-256)${SIGN_TIMESTAMP_URL:+ and time-stamped}"
fi

chmod 755 "$staging"
if [ -e "$dist" ]; then
  mv "$dist" "$staging.old"
  mv "$staging" "$dist"
  rm -rf "$staging.old"
else
  mv "$staging" "$dist"
fi
echo "Release in $dist/, $signed:"
sed 's/^/  /' "$dist/SHA256SUMS"
