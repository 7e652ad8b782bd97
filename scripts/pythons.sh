# Sourced by the build scripts: finds the CPython interpreters of this machine
# and makes virtual environments for them under build/.

# Prints "X.Y.Z /path/to/python" for each CPython from 3.10 up, one per minor
# version, oldest first: pyenv's newest patch release where pyenv is installed,
# otherwise python3.X on PATH. Free-threaded builds are skipped: the stable ABI
# does not cover them.
nivra_find_pythons() {
    local minor prefix py
    for minor in $(seq 10 30); do
        py=""
        if command -v pyenv >/dev/null 2>&1 && prefix="$(pyenv prefix "3.$minor" 2>/dev/null)" &&
            [ -x "$prefix/bin/python3.$minor" ]; then
            py="$prefix/bin/python3.$minor"
        elif command -v "python3.$minor" >/dev/null 2>&1; then
            py="$(command -v "python3.$minor")"
        fi
        [ -n "$py" ] || continue
        # A pyenv shim of an inactive version exits non-zero here and is passed over.
        "$py" -c 'import sys, sysconfig
if sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED"):
    print(".".join(map(str, sys.version_info[:3])), sys.executable)' 2>/dev/null || true
    done
}

# nivra_venv DIR PYTHON [--clear]: creates the virtual environment DIR from
# PYTHON unless DIR already holds one of the same interpreter; --clear always
# starts it empty.
nivra_venv() {
    local dir="$1" py="$2" clear="${3:-}"
    local want have=""
    want="$("$py" -c 'import sys; print(sys.version)')"
    [ -x "$dir/bin/python" ] && have="$("$dir/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null || true)"
    if [ -n "$clear" ] || [ "$have" != "$want" ]; then
        "$py" -m venv --clear "$dir"
        "$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
    fi
}

# nivra_pip_need PYTHON MODULE... -- REQUIREMENT...: installs the requirements
# unless every module already imports.
nivra_pip_need() {
    local py="$1"
    shift
    local mods=()
    while [ "$1" != "--" ]; do
        mods+=("$1")
        shift
    done
    shift
    "$py" -c "import importlib.util, sys; sys.exit(not all(importlib.util.find_spec(m) for m in sys.argv[1:]))" \
        "${mods[@]}" || "$py" -m pip install -q --disable-pip-version-check "$@"
}
