#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only those
# that are missing, so that a second run costs nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

packages=(
  make cmake ninja-build g++ binutils libgtest-dev libgmock-dev  # host build and unit tests
  librapidcheck-dev                                     # property-based tests
  clang libclang-rt-14-dev                              # sanitizers and libFuzzer
  g++-mingw-w64-i686 g++-mingw-w64-x86-64               # the Windows builds
  python3 python3-pefile python3-pytest                 # static checks, end-to-end suite
  wine wine64 xvfb xauth                                # running the Windows builds for real
  wixl msitools                                         # the sample package for the real Installer
  osslsigncode openssl                                  # Authenticode signing of a release
)

missing() {
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      echo "$package"
    fi
  done
}

install() {
  [ $# -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: $*" >&2
    echo "Install them as root with:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends $*" >&2
    exit 1
  fi
  echo "Installing: $*"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

mapfile -t absent < <(missing "${packages[@]}")
install "${absent[@]}"

# The shipped file is 32-bit, and Wine runs it only with its 32-bit half,
# whose install scripts themselves run 32-bit programs. Whether the kernel
# runs them differs from machine to machine, so ask this one.
if reason=$("$here/runs-32bit.sh"); then
  [ -n "$(missing wine32:i386)" ] || exit 0
  if [ "$(id -u)" -eq 0 ]; then
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  else
    echo "wine32:i386 needs the i386 architecture first: dpkg --add-architecture i386" >&2
  fi
  install wine32:i386
else
  echo "Not installing the 32-bit Wine package: $reason." \
       "The shipped 32-bit file will not be run on this machine; the 64-bit build stands in for it."
fi
