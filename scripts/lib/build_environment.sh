# Sourced by setup.sh and test.sh: the development environment in .venv and
# what it was last built from.

venv="$PWD/.venv"
build_env="$venv/qelmo-build.env"      # compiler choice, written by setup.sh
installed_stamp="$venv/qelmo-installed-from"

# A digest of everything the installed module and runtime are built from.
source_fingerprint() {
    find CMakeLists.txt pyproject.toml src runtime -type f \
        -not -name '*.pyc' -not -path '*/__pycache__/*' -print0 \
        | sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

# Installs qelmo from the source tree into .venv with its test extra and
# records what from. Extra arguments go to pip (test.sh passes
# --no-build-isolation: the build tools of the test extra are then in .venv
# and the kept build folder makes the rebuild incremental).
install_qelmo() {
    local fingerprint
    fingerprint="$(source_fingerprint)"
    "$venv/bin/python" -m pip install -q "$@" ".[test]"
    echo "$fingerprint" > "$installed_stamp"
}

# True when the sources changed since the last install.
installed_is_stale() {
    [[ ! -f "$installed_stamp" ]] || [[ "$(cat "$installed_stamp")" != "$(source_fingerprint)" ]]
}
