# Sourced by the wheel scripts: the CPython versions qelmo is built for and
# where their interpreters are.

supported_pythons=(3.9 3.10 3.11 3.12 3.13)

# The interpreter of CPython VERSION (e.g. 3.10): the newest pyenv build of
# it, else python3.10 on PATH. Prints nothing when there is none.
find_python() {
    local version="$1" candidate
    if command -v pyenv >/dev/null 2>&1; then
        local versions
        versions="$(pyenv root)/versions"
        candidate="$(ls -d "$versions/$version".* 2>/dev/null | grep -E "/$version\.[0-9]+$" | sort -V | tail -n 1)"
        if [[ -n "$candidate" && -x "$candidate/bin/python" ]]; then
            echo "$candidate/bin/python"
            return
        fi
    fi
    candidate="$(command -v "python$version" || true)"
    [[ -n "$candidate" ]] && echo "$candidate"
}

# "3.10" for a wheel tagged cp310.
python_of_wheel() {
    local tag
    tag="$(basename "$1" | grep -oE -- '-cp3[0-9]+-' | head -n 1 | tr -d -- '-cp')"
    echo "3.${tag#3}"
}
