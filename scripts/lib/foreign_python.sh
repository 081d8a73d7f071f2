# Sourced by the wheel scripts: CPython for another machine, from Debian's
# packages (see debian_packages.sh), for building wheels for it and running
# them under emulation. Needs architectures.sh and pythons.sh.
#
#   foreign_python_headers ARCH VERSION   # prints an include folder for Python.h
#   foreign_python_sysroot ARCH VERSION   # prints a root folder with that interpreter
#
# Debian has CPython 3.9.2 in bullseye, 3.11.2 in bookworm and 3.13.5 in
# trixie; 3.10 and 3.12 are in no suite of its archive.

source "$(dirname "${BASH_SOURCE[0]}")/debian_packages.sh"
foreign_work="${foreign_work:-$PWD/build/foreign}"
# The release whose amd64 and arm64 builds show what differs between machines.
reference_suite=bookworm
reference_python=3.11

debian_suite_of_python() {
    case "$1" in
        3.9) echo bullseye ;;
        3.11) echo bookworm ;;
        3.13) echo trixie ;;
    esac
}

# The pyconfig.h of Debian's libpython3.X-dev for ARCH (its headers are
# /usr/include/python3.X, with pyconfig.h there choosing the machine's).
debian_pyconfig() {
    local arch="$1" version="$2" suite="$3" folder="$4" triplet
    triplet="$arch-linux-gnu"
    debian_unpack "$(debian_architecture "$arch")" "$suite" "$folder" "libpython$version-dev" || return 1
    echo "$folder/usr/include/$triplet/python$version/pyconfig.h"
}

# Python.h and the rest for building against CPython VERSION on ARCH:
# Debian's headers where Debian has that release, else those of this
# machine's interpreter of VERSION with its pyconfig.h retargeted by what
# Debian's amd64 and arm64 builds of 3.11 set differently.
foreign_python_headers() {
    local arch="$1" version="$2" suite include="$foreign_work/$1/python$2/include/python$2"
    if [[ -f "$include/Python.h" && -f "$include/pyconfig.h" ]]; then
        echo "$include"
        return
    fi
    local work="$foreign_work/$arch/python$version/unpacked" retarget=() pyconfig
    rm -rf "$include" "$work"
    mkdir -p "$(dirname "$include")"
    suite="$(debian_suite_of_python "$version")"
    if [[ -n "$suite" ]]; then
        pyconfig="$(debian_pyconfig "$arch" "$version" "$suite" "$work")" || return 1
        cp -r "$work/usr/include/python$version" "$include"
    else
        local python host_reference target_reference
        python="$(find_python "$version")"
        if [[ -z "$python" ]]; then
            echo "no CPython $version here to take its headers from (pyenv or python$version on PATH)" >&2
            return 1
        fi
        cp -r "$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$include"
        pyconfig="$include/pyconfig.h"
        host_reference="$(debian_pyconfig "$host_architecture" "$reference_python" "$reference_suite" "$work/host")" || return 1
        target_reference="$(debian_pyconfig "$arch" "$reference_python" "$reference_suite" "$work/target")" || return 1
        retarget=(--from "$host_reference" --to "$target_reference")
    fi
    python3 "$(dirname "${BASH_SOURCE[0]}")/retarget_pyconfig.py" "$pyconfig" "$include/pyconfig.h.new" "${retarget[@]}"
    mv "$include/pyconfig.h.new" "$include/pyconfig.h"
    rm -rf "$work"
    echo "$include"
}

# An ARM /proc/cpuinfo for qemu's CPU model (architectures.sh's qemu_cpu),
# one entry per core of this machine. onnxruntime reads the file at import
# and crashes on this machine's x86 one, which qemu passes through.
arm_cpuinfo() {
    local cores core
    cores="$(grep -c '^processor' /proc/cpuinfo)"
    for ((core = 0; core < cores; core++)); do
        # A Neoverse N1: implementer 0x41 (Arm), part 0xd0c.
        printf 'processor\t: %d\nBogoMIPS\t: 50.00\n' "$core"
        printf 'Features\t: fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid asimdrdm lrcpc dcpop asimddp ssbs\n'
        printf 'CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x3\nCPU part\t: 0xd0c\nCPU revision\t: 1\n\n'
    done
}

# The packages a root folder for CPython VERSION holds: the interpreter,
# libstdc++ for onnxruntime's wheels, and for 3.9 distutils, which Debian
# ships apart and pip still uses there.
sysroot_packages() {
    echo "python$1" libstdc++6
    if [[ "$1" == 3.9 ]]; then echo python3-distutils; fi
}

# A root folder holding Debian's CPython VERSION for ARCH and the libraries
# it and the wheels it runs need, for qemu's QEMU_LD_PREFIX: qemu looks
# every absolute path up there first, the loader's and /proc/cpuinfo among
# them.
foreign_python_sysroot() {
    local arch="$1" version="$2" suite root="$foreign_work/$1/python$2/sysroot" folder packages
    packages="$(sysroot_packages "$version" | tr '\n' ' ')"
    if [[ -f "$root/.packages" && "$(cat "$root/.packages")" == "$packages" ]]; then
        echo "$root"
        return
    fi
    suite="$(debian_suite_of_python "$version")"
    if [[ -z "$suite" ]]; then
        echo "Debian has no CPython $version to run" >&2
        return 1
    fi
    rm -rf "$root"
    # shellcheck disable=SC2086
    debian_unpack_with_dependencies "$(debian_architecture "$arch")" "$suite" "$root" $packages || return 1
    # Packages of merged-/usr releases put the loader under usr/lib only.
    for folder in bin lib sbin; do
        [[ -e "$root/$folder" ]] || ln -s "usr/$folder" "$root/$folder"
    done
    if [[ "$arch" == aarch64 ]]; then
        mkdir -p "$root/proc"
        arm_cpuinfo > "$root/proc/cpuinfo"
    fi
    echo "$packages" > "$root/.packages"
    echo "$root"
}
