# Sourced by the fetch scripts: downloads one package from the Debian or
# Ubuntu archive this machine's apt sources name, without installing it.
#
#   download_archive_package PACKAGE FOLDER   # the .deb, extracted into FOLDER
#
# Debian mirrors are asked for suite trixie (main), Ubuntu mirrors for suite
# resolute (universe): the first releases of each that carry ONNX Runtime's
# headers. QELMO_ARCHIVE_MIRROR, QELMO_ARCHIVE_SUITE and
# QELMO_ARCHIVE_COMPONENT override the choice; QELMO_ARCHIVE_KEYRING names the
# keyring that signs the mirror when it is not the distribution's own.

# The first archive line of the apt sources (one-line and deb822 forms),
# printed as "debian URL" or "ubuntu URL".
find_archive_mirror() {
    local sources=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
    grep -hv '^[[:space:]]*#' "${sources[@]}" 2>/dev/null \
        | grep -oE 'https?://[^ ]+/(debian|ubuntu|ubuntu-ports)/?([[:space:]]|$)' \
        | tr -d ' \t' | sed 's:/*$::' | grep -v security \
        | awk '{ n = split($0, part, "/"); kind = part[n] == "debian" ? "debian" : "ubuntu"; print kind, $0; exit }'
}

download_archive_package() {
    local package="$1" folder="$2"
    local kind mirror suite component keyring
    if [[ -n "${QELMO_ARCHIVE_MIRROR:-}" ]]; then
        mirror="$QELMO_ARCHIVE_MIRROR"
        [[ "$mirror" == */ubuntu* ]] && kind=ubuntu || kind=debian
    else
        read -r kind mirror < <(find_archive_mirror) || true
    fi
    if [[ -z "${mirror:-}" ]]; then
        echo "no Debian or Ubuntu mirror found in the apt sources (/etc/apt/sources.list*) to download $package from;" >&2
        echo "set QELMO_ARCHIVE_MIRROR to one (e.g. http://deb.debian.org/debian), or supply the files yourself" >&2
        return 1
    fi
    if [[ "$kind" == ubuntu ]]; then
        suite="${QELMO_ARCHIVE_SUITE:-resolute}"
        component="${QELMO_ARCHIVE_COMPONENT:-universe}"
        keyring="${QELMO_ARCHIVE_KEYRING:-/usr/share/keyrings/ubuntu-archive-keyring.gpg}"
    else
        suite="${QELMO_ARCHIVE_SUITE:-trixie}"
        component="${QELMO_ARCHIVE_COMPONENT:-main}"
        keyring="${QELMO_ARCHIVE_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}"
    fi

    local work
    work="$(mktemp -d)"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
    echo "deb [signed-by=$keyring] $mirror $suite $component" > "$work/sources.list"
    local apt_options=(
        -o "Dir::Etc::SourceList=$work/sources.list"
        -o "Dir::Etc::SourceParts=/dev/null"
        -o "Dir::State::Lists=$work/lists"
        -o "Dir::Cache=$work/cache"
        -o "APT::Sandbox::User=$(id -un)"
        -q
    )
    if ! apt-get "${apt_options[@]}" update >"$work/update.log" 2>&1 ||
       ! (cd "$work" && apt-get "${apt_options[@]}" download "$package" >"$work/download.log" 2>&1); then
        cat "$work"/*.log >&2
        echo "could not download $package from $mirror ($suite $component)" >&2
        rm -rf "$work"
        return 1
    fi
    rm -rf "$folder"
    dpkg-deb -x "$work"/"${package}"_*.deb "$folder"
    rm -rf "$work"
}

# Copies folder SUBDIR of PACKAGE (e.g. usr/src/googletest) to DEST, unless
# DEST/MARKER is already there; fails when the package cannot be downloaded.
fetch_archive_folder() {
    local package="$1" subdir="$2" dest="$3" marker="$4" work
    [[ -f "$dest/$marker" ]] && return 0
    work="$(mktemp -d)"
    if ! download_archive_package "$package" "$work/extracted"; then
        rm -rf "$work"
        return 1
    fi
    rm -rf "$dest"
    mkdir -p "$(dirname "$dest")"
    cp -r "$work/extracted/$subdir" "$dest"
    rm -rf "$work"
    echo "$package: $dest"
}
