#!/usr/bin/env bash
# Fetches ONNX Runtime's C and C++ API headers from the distribution's
# libonnxruntime-dev package (Debian trixie or Ubuntu resolute, from the
# mirror in this machine's apt sources) into third_party/onnxruntime/include,
# without installing the package. See scripts/lib/archive_package.sh.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
source "$root/scripts/lib/archive_package.sh"

if ! fetch_archive_folder libonnxruntime-dev usr/include/onnxruntime "$root/third_party/onnxruntime/include" \
        onnxruntime_c_api.h; then
    cat >&2 <<'HELP'
ONNX Runtime's C API headers are needed to build qelmo. Without an apt mirror
to fetch them from, take the include folder of an ONNX Runtime release (the
one holding onnxruntime_c_api.h, version 1.19 or newer) and pass it on:
    cmake -DQELMO_ONNXRUNTIME_INCLUDE_DIR=/path/to/include ...
    pip install . -Ccmake.define.QELMO_ONNXRUNTIME_INCLUDE_DIR=/path/to/include
or copy it to third_party/onnxruntime/include.
HELP
    exit 1
fi
