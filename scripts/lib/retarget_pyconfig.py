"""Writes a CPython pyconfig.h for another machine.

    retarget_pyconfig.py PYCONFIG OUT [--from HOST_REFERENCE --to TARGET_REFERENCE]

PYCONFIG is the configuration to start from. With the two references (one
CPython release's pyconfig.h as Debian builds it for this machine and for
the target), every macro of PYCONFIG that the references set differently is
set as the target's reference sets it: that is what configure finds
different between the two machines (x86 assembly, wchar_t's signedness, the
support tier), the rest being the release's own. HAVE_CRYPT_H is dropped in
any case: 3.9's Python.h then includes <crypt.h>, which zig's glibc headers
lack and no extension needs."""

import argparse
import re
import sys

MACRO = re.compile(r"^\s*(?:#\s*define\s+(\w+)\b|/\*\s*#\s*undef\s+(\w+)\s*\*/)")


def macros(text: str) -> dict:
    """Each macro's line, by name."""
    found = {}
    for line in text.splitlines():
        match = MACRO.match(line)
        if match:
            found[match.group(1) or match.group(2)] = line
    return found


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("pyconfig")
    parser.add_argument("out")
    parser.add_argument("--from", dest="host")
    parser.add_argument("--to", dest="target")
    options = parser.parse_args()
    if (options.host is None) != (options.target is None):
        parser.error("--from and --to go together")

    changes = {"HAVE_CRYPT_H": "/* #undef HAVE_CRYPT_H */"}
    if options.host:
        host = macros(open(options.host).read())
        target = macros(open(options.target).read())
        for name in sorted(set(host) | set(target)):
            wanted = target.get(name, f"/* #undef {name} */")
            if host.get(name, f"/* #undef {name} */") != wanted:
                changes[name] = wanted

    lines = []
    for line in open(options.pyconfig).read().splitlines():
        match = MACRO.match(line)
        name = match and (match.group(1) or match.group(2))
        # Macros the release does not know (PY_SUPPORT_TIER before 3.11) stay out.
        lines.append(changes.get(name, line) if name else line)
    with open(options.out, "w") as out:
        out.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
