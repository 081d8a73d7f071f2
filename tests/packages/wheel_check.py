"""Checks a qelmo or qelmo-gpu wheel without running it, for any machine
(run by scripts/test_wheels.sh with an interpreter that has pyelftools and
packaging):
  - its RECORD lists every file with the right hash and size;
  - METADATA's name is the file's, and it requires its own ONNX Runtime build
    (qelmo: onnxruntime; qelmo-gpu: onnxruntime-gpu), never the other;
  - WHEEL's tags are the file name's, manylinux for the wheel's machine;
  - every library is a 64-bit little-endian ELF file for that machine, needs
    no C++ runtime and no glibc symbol newer than 2.28;
  - the module's name ends in that interpreter's extension suffix, it
    exports PyInit_qelmo and was compiled for that interpreter's release;
  - with --system, every library it needs is in that root folder (a Debian
    system for the machine) or in the wheel, and every versioned symbol it
    takes is defined there with that version;
  - with --interpreter, every unversioned symbol the module takes (the
    Python API) is exported by those files (the interpreter or its
    libpython), unless the module declared it weak.

    wheel_check.py WHEEL [--system ROOT] [--interpreter ELF ...]

Prints one line per check and exits non-zero if any failed."""

import argparse
import base64
import csv
import hashlib
import io
import os
import re
import sys
import zipfile
from email.parser import Parser

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name, parse_wheel_filename

MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
NEWEST_GLIBC = (2, 28)
ONNXRUNTIME_BUILDS = {"qelmo": "onnxruntime", "qelmo-gpu": "onnxruntime-gpu"}
LIBRARY_FOLDERS = ("lib/{triplet}", "usr/lib/{triplet}", "lib", "usr/lib", "lib64")
MANYLINUX = re.compile(r"manylinux(?:_\d+_\d+|1|2010|2014)_(\w+)$")


class Results:
    def __init__(self) -> None:
        self.failed = 0

    def check(self, name: str, ok: bool, detail: object = "") -> bool:
        print(f"  {'ok  ' if ok else 'FAIL'} {name}" + ("" if ok or detail == "" else f": {detail}"))
        self.failed += not ok
        return ok


def record_problems(wheel: zipfile.ZipFile, record_path: str) -> list:
    listed = {}
    for row in csv.reader(io.StringIO(wheel.read(record_path).decode("utf-8"))):
        if row:
            listed[row[0]] = row[1:]
    problems = []
    for info in wheel.infolist():
        if info.is_dir() or info.filename == record_path:
            continue
        data = wheel.read(info)
        digest = "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        if listed.pop(info.filename, None) != [digest, str(len(data))]:
            problems.append(f"{info.filename} not as recorded")
    listed.pop(record_path, None)
    return problems + [f"{path} recorded but missing" for path in listed]


def elf_facts(data: bytes) -> dict:
    elf = ELFFile(io.BytesIO(data))
    facts = {"class": elf.elfclass, "little": elf.little_endian, "machine": elf["e_machine"],
             "needed": [], "runpath": [], "defined": set(), "undefined": []}
    versions = {}  # version index -> name, for the symbols taken from other libraries
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED":
                    facts["needed"].append(tag.needed)
                elif tag.entry.d_tag in ("DT_RUNPATH", "DT_RPATH"):
                    facts["runpath"] += (tag.runpath if tag.entry.d_tag == "DT_RUNPATH" else tag.rpath).split(":")
        elif isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for auxiliary in auxiliaries:
                    versions[auxiliary.entry.vna_other] = auxiliary.name
    symbols = elf.get_section_by_name(".dynsym")
    version_of = elf.get_section_by_name(".gnu.version")
    for index, symbol in enumerate(symbols.iter_symbols() if symbols else []):
        if not symbol.name:
            continue
        version = None
        if isinstance(version_of, GNUVerSymSection):
            version = versions.get(version_index(version_of, index))
        if symbol.entry.st_shndx == "SHN_UNDEF":
            facts["undefined"].append((symbol.name, version, symbol.entry.st_info.bind == "STB_WEAK"))
        else:
            facts["defined"].add(symbol.name)
            if version:
                facts["defined"].add(f"{symbol.name}@{version}")
    return facts


def version_index(section: GNUVerSymSection, index: int) -> object:
    """The symbol's version index, its hidden bit cleared; a name for the
    local and global ones."""
    ndx = section.get_symbol(index).entry.ndx
    return ndx & 0x7FFF if isinstance(ndx, int) else ndx


def defined_versions(path: str) -> set:
    """name@VERSION for every symbol a system library defines."""
    with open(path, "rb") as file:
        elf = ELFFile(file)
        names = {}
        definitions = elf.get_section_by_name(".gnu.version_d")
        for version, auxiliaries in definitions.iter_versions() if definitions else []:
            names[version.entry.vd_ndx] = next(iter(auxiliaries)).name
        symbols = elf.get_section_by_name(".dynsym")
        version_of = elf.get_section_by_name(".gnu.version")
        found = set()
        for index, symbol in enumerate(symbols.iter_symbols()):
            if symbol.entry.st_shndx != "SHN_UNDEF" and symbol.name:
                found.add(symbol.name)
                ndx = version_index(version_of, index) if isinstance(version_of, GNUVerSymSection) else None
                if ndx in names:
                    found.add(f"{symbol.name}@{names[ndx]}")
        return found


def exported(paths: list) -> set:
    names = set()
    for path in paths:
        names |= {name.split("@")[0] for name in defined_versions(path)}
    return names


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("wheel")
    parser.add_argument("--system", help="a root folder of the wheel's machine, to find the libraries it needs in")
    parser.add_argument("--interpreter", nargs="*", default=[], help="ELF files exporting the Python API")
    options = parser.parse_args()
    results = Results()
    check = results.check

    name, version, _, tags = parse_wheel_filename(os.path.basename(options.wheel))
    machines = {match.group(1) if (match := MANYLINUX.match(tag.platform)) else tag.platform for tag in tags}
    arch = next(iter(machines))
    interpreters = {tag.interpreter for tag in tags}
    check(f"the file name's tags are manylinux for one machine ({arch}) and one interpreter",
          len(machines) == 1 and arch in MACHINES and len(interpreters) == 1
          and all(MANYLINUX.match(tag.platform) for tag in tags), sorted(str(tag) for tag in tags))
    cpython = next(iter(interpreters))  # e.g. cp312
    info = f"{str(name).replace('-', '_')}-{version}.dist-info/"

    with zipfile.ZipFile(options.wheel) as wheel:
        names = wheel.namelist()
        problems = record_problems(wheel, info + "RECORD") if info + "RECORD" in names else ["no RECORD"]
        check("RECORD lists every file, with its hash and size", not problems, problems)
        metadata = Parser().parsestr(wheel.read(info + "METADATA").decode("utf-8"))
        wheel_tags = Parser().parsestr(wheel.read(info + "WHEEL").decode("utf-8")).get_all("Tag")
        libraries = {path: wheel.read(path) for path in names if path.endswith(".so")}
    check("METADATA names the distribution of the file name", canonicalize_name(metadata["Name"]) == name, metadata["Name"])
    requirements = [Requirement(text) for text in metadata.get_all("Requires-Dist") or []]
    plain = {canonicalize_name(r.name) for r in requirements if "extra" not in str(r.marker or "")}
    wanted = ONNXRUNTIME_BUILDS.get(name)
    others = set(ONNXRUNTIME_BUILDS.values()) - {wanted}
    check(f"it requires {wanted} and no other ONNX Runtime build", wanted in plain and not plain & others, sorted(plain))
    check("WHEEL's tags are the file name's", sorted(wheel_tags or []) == sorted(str(tag) for tag in tags), wheel_tags)

    suffix = f".cpython-{cpython[2:]}-{arch}-linux-gnu.so"
    modules = [path for path in libraries if "/" not in path]
    check(f"the module is qelmo{suffix}", modules == [f"qelmo{suffix}"], modules)
    system_folders = []
    if options.system:
        system_folders = [os.path.join(options.system, folder.format(triplet=f"{arch}-linux-gnu")) for folder in LIBRARY_FOLDERS]
    python_api = exported(options.interpreter) if options.interpreter else None

    for path, data in sorted(libraries.items()):
        facts = elf_facts(data)
        where = os.path.dirname(path)
        check(f"{path}: 64-bit little-endian ELF for {arch}",
              facts["class"] == 64 and facts["little"] and facts["machine"] == MACHINES.get(arch), facts["machine"])
        glibc = sorted({v for _, v, _ in facts["undefined"] if v and v.startswith("GLIBC_")},
                       key=lambda v: tuple(int(p) for p in v[6:].split(".")))
        newest = glibc[-1] if glibc else "none"
        cxx = [n for n in facts["needed"] if n.startswith(("libstdc++", "libgcc_s"))] + \
              sorted({v for _, v, _ in facts["undefined"] if v and v.startswith(("GLIBCXX_", "CXXABI_"))})
        check(f"{path}: no C++ runtime needed, glibc symbols up to {newest}",
              not cxx and (not glibc or tuple(int(p) for p in newest[6:].split(".")) <= NEWEST_GLIBC), cxx or newest)
        if path in modules:
            check(f"{path}: exports PyInit_qelmo", "PyInit_qelmo" in facts["defined"])
            # pybind11 keeps the release it was compiled for, to refuse any other.
            built_for = sorted(set(re.findall(rb"\x00(3\.\d+)\x00", data)))
            wanted_release = f"{cpython[2]}.{cpython[3:]}".encode()
            check(f"{path}: compiled for Python {wanted_release.decode()}", wanted_release in built_for,
                  [release.decode() for release in built_for])

        if system_folders:
            # The wheel's own libraries, found through $ORIGIN in the run path.
            inside = [os.path.normpath(os.path.join(where, entry.replace("$ORIGIN", "."))) for entry in facts["runpath"]]
            found, missing, provided = [], [], set()
            for needed in facts["needed"]:
                if any(os.path.normpath(os.path.join(folder, needed)) in libraries for folder in inside):
                    continue
                located = next((os.path.join(folder, needed) for folder in system_folders
                                if os.path.exists(os.path.join(folder, needed))), None)
                (found if located else missing).append(located or needed)
                if located:
                    provided |= defined_versions(located)
            check(f"{path}: every library it needs is in the wheel or the system ({', '.join(map(os.path.basename, found))})",
                  not missing, missing)
            absent = sorted(f"{n}@{v}" for n, v, weak in facts["undefined"] if v and not weak and f"{n}@{v}" not in provided)
            check(f"{path}: every versioned symbol it takes is defined there", not absent, absent[:10])
        if python_api is not None and path in modules:
            absent = sorted(n for n, v, weak in facts["undefined"] if not v and not weak and n not in python_api)
            check(f"{path}: every Python API symbol it takes is exported by the interpreter", not absent, absent[:10])

    print(f"{results.failed} failed")
    return 1 if results.failed else 0


if __name__ == "__main__":
    sys.exit(main())
