# Sourced by the wheel scripts: running another machine's programs here
# under qemu's user-mode emulation (Debian's qemu-user-static), including
# the processes they start, which needs qemu registered with the kernel's
# binfmt_misc (as root; CI runs as root). Needs architectures.sh.
#
#   enable_emulation ARCH          # installs and registers what is missing
#   emulated ARCH SYSROOT COMMAND  # runs COMMAND with qemu's settings for ARCH

enable_emulation() {
    local arch="$1" binfmt=/proc/sys/fs/binfmt_misc
    if ! command -v "qemu-$arch-static" >/dev/null; then
        apt-get install -y -q --no-install-recommends qemu-user-static >/dev/null 2>&1 ||
            { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends qemu-user-static >/dev/null; } ||
            { echo "cannot install qemu-user-static (needs root)" >&2; return 1; }
    fi
    if [[ ! -e "$binfmt/register" ]]; then
        mount -t binfmt_misc binfmt_misc "$binfmt" || { echo "cannot mount $binfmt (needs root)" >&2; return 1; }
    fi
    # Debian's registration: the magic bytes of the machine's ELF files, and qemu
    # started with the program's own argv[0].
    if [[ ! -e "$binfmt/qemu-$arch" ]]; then
        cat "/usr/lib/binfmt.d/qemu-$arch.conf" > "$binfmt/register" || { echo "cannot register qemu-$arch with binfmt_misc" >&2; return 1; }
    fi
    grep -qx enabled "$binfmt/qemu-$arch"
}

emulated() {
    local arch="$1" sysroot="$2"
    shift 2
    QEMU_LD_PREFIX="$sysroot" QEMU_CPU="$(qemu_cpu "$arch")" "$@"
}
