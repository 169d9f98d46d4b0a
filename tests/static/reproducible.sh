#!/usr/bin/env bash
# The shipped build is reproducible: the same sources built again, from other
# folders, give the same bytes as the build under test.
#
#   reproducible.sh <source folder> <Uninstall.exe under test>
set -euo pipefail
source_dir=$(cd "$1" && pwd)
shipped=$2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

build_copy() {
  local copy=$1
  mkdir -p "$copy"
  # The tracked sources when there is a git checkout, else everything but builds.
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$copy")
  else
    (cd "$source_dir" && find . -path ./build -prune -o -type f -print0 | xargs -0 cp --parents -t "$copy")
  fi
  (cd "$copy" && cmake --preset win32 >/dev/null && cmake --build --preset win32 --target Uninstall >/dev/null)
  echo "$copy/build/win32/Uninstall.exe"
}

first=$(build_copy "$scratch/one")
second=$(build_copy "$scratch/a/longer/path/two")
sha256sum "$shipped" "$first" "$second"
if cmp -s "$shipped" "$first" && cmp -s "$first" "$second"; then
  echo "reproducible: all three builds are byte-for-byte identical"
else
  echo "NOT reproducible: the builds differ" >&2
  exit 1
fi
