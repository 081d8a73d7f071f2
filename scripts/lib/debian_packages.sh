# Sourced by the wheel scripts: Debian's packages for any machine (arm64 ones
# on this x86_64 machine), downloaded and unpacked into a folder, never
# installed. Each architecture and suite gets an APT configuration of its
# own, with its own lists, status and cache under build/debian/, so this
# machine's apt and dpkg never hear of it (no dpkg --add-architecture).
#
#   debian_unpack ARCH SUITE FOLDER PACKAGE...       # e.g. arm64 bookworm
#   debian_unpack_with_dependencies ARCH SUITE FOLDER PACKAGE...
#
# The mirror is the Debian one of this machine's apt sources, else
# QELMO_ARCHIVE_MIRROR, else deb.debian.org.

source "$(dirname "${BASH_SOURCE[0]}")/archive_package.sh"
debian_work="${debian_work:-$PWD/build/debian}"

debian_mirror() {
    local kind mirror
    if [[ -n "${QELMO_ARCHIVE_MIRROR:-}" ]]; then
        echo "$QELMO_ARCHIVE_MIRROR"
        return
    fi
    read -r kind mirror < <(find_archive_mirror) || true
    [[ "${kind:-}" == debian ]] && echo "$mirror" || echo "http://deb.debian.org/debian"
}

# apt-get with the configuration of ARCH and SUITE, made on first use.
debian_apt() {
    local arch="$1" suite="$2"
    shift 2
    local work="$debian_work/$arch-$suite"
    if [[ ! -f "$work/apt.conf" ]]; then
        mkdir -p "$work"/{lists/partial,cache/archives/partial,state,parts,preferences.d}
        : > "$work/status"
        echo "deb [signed-by=${QELMO_ARCHIVE_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}] $(debian_mirror) $suite main" \
            > "$work/sources.list"
        cat > "$work/apt.conf" <<CONF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "/dev/null";
Dir::Etc::Parts "$work/parts";
Dir::Etc::Preferences "$work/preferences";
Dir::Etc::PreferencesParts "$work/preferences.d";
Dir::State "$work/state";
Dir::State::Lists "$work/lists";
Dir::State::status "$work/status";
Dir::Cache "$work/cache";
APT::Architecture "$arch";
#clear APT::Architectures;
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Sandbox::User "$(id -un)";
Debug::NoLocking "true";
Acquire::Languages "none";
CONF
    fi
    if [[ ! -f "$work/lists/updated" ]]; then
        APT_CONFIG="$work/apt.conf" apt-get -q update >"$work/update.log" 2>&1 || { cat "$work/update.log" >&2; return 1; }
        : > "$work/lists/updated"
    fi
    APT_CONFIG="$work/apt.conf" apt-get -q "$@"
}

debian_extract_into() {
    local folder="$1" deb
    shift
    mkdir -p "$folder"
    for deb in "$@"; do dpkg-deb -x "$deb" "$folder"; done
}

debian_unpack() {
    local arch="$1" suite="$2" folder="$3"
    shift 3
    local downloads="$debian_work/$arch-$suite/downloads" package
    mkdir -p "$downloads"
    (cd "$downloads" && debian_apt "$arch" "$suite" download "$@" >/dev/null) || {
        echo "could not download $* ($arch, $suite)" >&2
        return 1
    }
    for package in "$@"; do debian_extract_into "$folder" "$downloads/${package}"_*.deb; done
}

debian_unpack_with_dependencies() {
    local arch="$1" suite="$2" folder="$3"
    shift 3
    # A folder of its own for these packages' files, which then hold them all.
    local archives="$debian_work/$arch-$suite/closure-$(echo "$*" | sha256sum | cut -c1-12)"
    mkdir -p "$archives/partial"
    # With an empty status nothing counts as installed: every dependency is fetched.
    debian_apt "$arch" "$suite" -o Dir::Cache::Archives="$archives" -y install --download-only "$@" >/dev/null || {
        echo "could not download $* and their dependencies ($arch, $suite)" >&2
        return 1
    }
    debian_extract_into "$folder" "$archives"/*.deb
}
