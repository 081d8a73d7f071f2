#!/usr/bin/env bash
# Fetches ONNX Runtime's C API headers from Debian's libonnxruntime-dev package
# (suite trixie) into third_party/onnxruntime/include, without installing the
# package. The mirror is read from this machine's apt sources.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
dest="$root/third_party/onnxruntime"
if [[ -f "$dest/include/onnxruntime_c_api.h" ]]; then
    exit 0
fi

mirror="$(grep -rhoE 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
          | grep -v security | head -n 1 | tr -d ' ' || true)"
if [[ -z "$mirror" ]]; then
    echo "no Debian mirror found in the apt sources" >&2
    exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] ${mirror%/} trixie main" > "$work/sources.list"
apt_options=(
    -o "Dir::Etc::SourceList=$work/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache=$work/cache"
    -o "APT::Sandbox::User=root"
    -q
)
apt-get "${apt_options[@]}" update >/dev/null
(cd "$work" && apt-get "${apt_options[@]}" download libonnxruntime-dev >/dev/null)
dpkg-deb -x "$work"/libonnxruntime-dev_*.deb "$work/extracted"

rm -rf "$dest"
mkdir -p "$dest"
cp -r "$work/extracted/usr/include/onnxruntime" "$dest/include"
cp "$work/extracted/usr/share/doc/libonnxruntime-dev/copyright" "$dest/" 2>/dev/null || true
echo "ONNX Runtime headers in $dest/include"
