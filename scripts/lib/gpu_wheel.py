"""Makes the qelmo-gpu wheel from a qelmo wheel.

    gpu_wheel.py QELMO_WHEEL OUT_FOLDER     # prints the path of the wheel written

qelmo-gpu is qelmo for GPU users: the same module, runtime and tool, built
once, with ONNX Runtime's CUDA build (onnxruntime-gpu) required in place of
onnxruntime. pip cannot require "onnxruntime or onnxruntime-gpu", and both
install into one onnxruntime/ folder, so each build of ONNX Runtime gets a
distribution of its own, as onnxruntime and onnxruntime-gpu themselves are.

The new wheel differs from the old in its name (file name, dist-info folder,
METADATA's Name and Summary) and its ONNX Runtime requirement, taken from
pyproject.toml's [tool.qelmo.gpu]. RECORD is written anew, with every
file's hash and size."""

import base64
import csv
import hashlib
import io
import os
import sys
import tomllib
import zipfile

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name, parse_wheel_filename

PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "pyproject.toml")


def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")


def gpu_metadata(text: str, settings: dict) -> str:
    """METADATA with the new name and requirements; the description (the
    body after the first blank line) is kept as it is."""
    headers, blank, body = text.partition("\n\n")
    replaced = canonicalize_name(settings["replaces"])
    lines = []
    added = False
    for line in headers.split("\n"):
        field, _, value = line.partition(": ")
        if field == "Name":
            line = f"Name: {settings['name']}"
        elif field == "Summary":
            line = f"Summary: {value} ({settings['summary-suffix']})"
        elif field == "Requires-Dist":
            requirement = Requirement(value)
            if canonicalize_name(requirement.name) == replaced:
                if "extra" in str(requirement.marker or ""):
                    raise SystemExit(f"gpu_wheel.py: an extra requires {settings['replaces']}: {value}")
                if not added:
                    lines.extend(f"Requires-Dist: {Requirement(gpu)}" for gpu in settings["dependencies"])
                    added = True
                continue
        lines.append(line)
    if not added:
        raise SystemExit(f"gpu_wheel.py: the wheel does not require {settings['replaces']}")
    return "\n".join(lines) + blank + body


def make_gpu_wheel(source: str, out_folder: str, settings: dict) -> str:
    name, version, build, tags = parse_wheel_filename(os.path.basename(source))
    old_name = name.replace("-", "_")
    new_name = settings["name"].replace("-", "_")
    # The metadata folder, and the .data folder when there is one.
    renames = {f"{old_name}-{version}.{kind}/": f"{new_name}-{version}.{kind}/" for kind in ("dist-info", "data")}
    new_info = f"{new_name}-{version}.dist-info/"
    target = os.path.join(out_folder, new_name + os.path.basename(source)[len(old_name):])

    entries = []  # (ZipInfo, bytes), in the source's order, RECORD left out
    with zipfile.ZipFile(source) as wheel:
        for info in wheel.infolist():
            path = info.filename
            folder = path[: path.find("/") + 1]
            if folder in renames:
                path = renames[folder] + path[len(folder):]
            elif folder.endswith((".dist-info/", ".data/")):
                raise SystemExit(f"gpu_wheel.py: a metadata folder of another name in {source}: {folder}")
            if path == new_info + "RECORD":
                continue
            data = wheel.read(info)
            if path == new_info + "METADATA":
                data = gpu_metadata(data.decode("utf-8"), settings).encode("utf-8")
            renamed = zipfile.ZipInfo(path, info.date_time)
            renamed.external_attr = info.external_attr
            renamed.compress_type = zipfile.ZIP_DEFLATED
            entries.append((renamed, data))

    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for info, data in entries:
        if not info.is_dir():
            writer.writerow([info.filename, record_hash(data), len(data)])
    writer.writerow([new_info + "RECORD", "", ""])
    record_info = zipfile.ZipInfo(new_info + "RECORD", entries[-1][0].date_time)
    record_info.external_attr = 0o644 << 16
    record_info.compress_type = zipfile.ZIP_DEFLATED

    partial = target + ".partial"
    try:
        with zipfile.ZipFile(partial, "w") as wheel:
            for info, data in entries:
                wheel.writestr(info, data)
            wheel.writestr(record_info, record.getvalue())
        os.replace(partial, target)
    finally:
        if os.path.exists(partial):
            os.unlink(partial)
    return target


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    with open(PYPROJECT, "rb") as file:
        settings = tomllib.load(file)["tool"]["qelmo"]["gpu"]
    print(make_gpu_wheel(sys.argv[1], sys.argv[2], settings))
    return 0


if __name__ == "__main__":
    sys.exit(main())
