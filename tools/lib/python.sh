# Shared by the project's scripts: find a CPython >= 3.12 and keep one virtual
# environment per interpreter inside the project (the vcan-vm guest cannot
# see the host's /tmp).

die() { echo "${0##*/}: $*" >&2; exit 1; }

# Print PY if it is CPython 3.12 or newer, else fail.
check_python() {
    local py=$1
    command -v "$py" >/dev/null 2>&1 || die "no such interpreter: $py"
    "$py" -c 'import sys, platform; sys.exit(not (platform.python_implementation() == "CPython" and sys.version_info >= (3, 12)))' \
        || die "$py is not CPython 3.12 or newer"
    command -v "$py"
}

# Every usable interpreter, newest first.
find_pythons() {
    local -A seen=()
    local cand real
    local pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
    for cand in python3.13 python3.12 python3 \
        $(ls -d "$pyenv_root"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -rV); do
        command -v "$cand" >/dev/null 2>&1 || continue
        # pyenv shims answer for versions that are not selected; resolve them.
        real=$("$cand" -c 'import sys; print(sys.executable)' 2>/dev/null) || continue
        "$real" -c 'import sys, platform; sys.exit(not (platform.python_implementation() == "CPython" and sys.version_info >= (3, 12)))' 2>/dev/null || continue
        [[ -n ${seen[$real]:-} ]] && continue
        seen[$real]=1
        echo "$real"
    done | while read -r p; do echo "$("$p" -c 'import sys; print("%d.%02d" % sys.version_info[:2])') $p"; done \
        | sort -rV -k1,1 | awk '!seen[$1]++ {print $2}'
}

venv_for() {
    local tag
    tag=$("$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "$root/.venv/py$tag"
}

# Create the venv if needed and install the test requirements: mujoco among
# them, whose headers CMake finds through the venv's python for dmsim --model.
prepare_requirements() {
    local py=$1 venv=$2
    [[ -x $venv/bin/python ]] || "$py" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$root/requirements-test.txt"
}

# prepare_requirements, then the module, built with the venv's packages.
prepare_venv() {
    local py=$1 venv=$2
    prepare_requirements "$py" "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        -Cbuild-dir="$root/build/wheel-$(basename "$venv")" "$root"
}
