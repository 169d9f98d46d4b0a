#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing, so that a second run costs nothing.
set -euo pipefail

packages=(
  make cmake ninja-build g++ libgtest-dev libgmock-dev  # host build and unit tests
  librapidcheck-dev                                     # property-based tests
  clang libclang-rt-14-dev                              # sanitizers and libFuzzer
  g++-mingw-w64-i686 g++-mingw-w64-x86-64               # the Windows builds
  python3 python3-pefile                                # static checks of the executable
  wine wine64 xvfb xauth                                # running the 64-bit build for real
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# The 32-bit Wine package is left out on purpose: this kernel cannot run
# 32-bit programs, and the 64-bit build is the one run under Wine.
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
