#!/usr/bin/env bash
# Fetches GoogleTest's sources from the distribution's googletest package
# (the mirror in this machine's apt sources) into third_party/googletest,
# without installing it; the native tests build it with their own compiler
# and flags. See scripts/lib/archive_package.sh.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/third_party/googletest"
if [[ -f "$dest/CMakeLists.txt" ]]; then
    exit 0
fi
source "$root/scripts/lib/archive_package.sh"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
if ! download_archive_package googletest "$work/extracted"; then
    echo "GoogleTest is needed for the native tests: install Debian's googletest package" \
         "(its sources land in /usr/src/googletest) or put its sources in $dest" >&2
    exit 1
fi
rm -rf "$dest"
cp -r "$work/extracted/usr/src/googletest" "$dest"
echo "GoogleTest sources in $dest"
