# Sourced by the wheel scripts: the machines qelmo's wheels are built for,
# and the names each goes by in the tools. Adding a machine here adds its
# wheels to the build and to the tests.

wheel_architectures=(x86_64 aarch64)
host_architecture="$(uname -m)"

# Debian's name for the machine (its packages' architecture).
debian_architecture() {
    case "$1" in
        x86_64) echo amd64 ;;
        aarch64) echo arm64 ;;
        *) echo "no Debian architecture known for $1" >&2; return 1 ;;
    esac
}

# The CPU model qemu emulates for the machine. For aarch64 a Neoverse N1
# (ARMv8.2): qemu's default model adds SVE and SME, which onnxruntime and
# numpy then use, 20 to 100 times slower under emulation still.
qemu_cpu() {
    case "$1" in
        aarch64) echo neoverse-n1 ;;
        *) echo max ;;
    esac
}

# Whether a wheel file name is for the machine, e.g. "..._aarch64.whl".
wheel_is_for() { [[ "$1" == *_"$2".whl ]]; }

# The interpreters onnxruntime-gpu publishes wheels for on the machine, so
# those that get a qelmo-gpu wheel: every one on x86_64; on aarch64 3.11 and
# newer, from onnxruntime-gpu 1.29 on (for glibc 2.34 or newer), with
# NVIDIA's aarch64 CUDA and cuDNN wheels behind its cuda and cudnn extras.
gpu_pythons() {
    case "$1" in
        x86_64) echo 3.9 3.10 3.11 3.12 3.13 ;;
        aarch64) echo 3.11 3.12 3.13 ;;
    esac
}
