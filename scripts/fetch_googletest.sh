#!/usr/bin/env bash
# Fetches GoogleTest's sources from the distribution's googletest package
# (the mirror in this machine's apt sources) into third_party/googletest,
# without installing it; the native tests build it with their own compiler
# and flags. See scripts/lib/archive_package.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/lib/archive_package.sh"

if ! fetch_archive_folder googletest usr/src/googletest "$root/third_party/googletest" CMakeLists.txt; then
    echo "GoogleTest is needed for the native tests: install Debian's googletest package" \
         "(its sources land in /usr/src/googletest) or put its sources in $root/third_party/googletest" >&2
    exit 1
fi
