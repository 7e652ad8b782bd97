#!/usr/bin/env bash
# Builds nivra and runs every test: the C++ unit tests (CTest) in the release
# build and again under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the Python tests (pytest) on every CPython from 3.10 up that the machine has:
# the default python3 with the module of build/pip, each version from 3.12 up
# with the one repaired stable-ABI wheel of scripts/wheel.sh installed into an
# empty virtual environment, and each older version with a module of its own.
# Fails when any of them fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
bash scripts/setup.sh
# The subsystem libraries compile to the same objects for every interpreter;
# the cache lets the builds of the other interpreters reuse them.
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$PWD/build/ccache"
mkdir -p build

bash scripts/build.sh
jobs="$(nproc)"
ctest --test-dir build/pip --output-on-failure -j"$jobs"

# Memory errors in the C++ code fail the run here rather than in a user's process.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIVRA_SANITIZE=ON \
    -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_PYTHON=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs"

# Python tests run from tests/, outside the source tree, so that `import nivra`
# finds the installed package. Every interpreter must also show the same
# signatures, docstrings and module names as the default one.
surface_default=build/api-surface.txt
python_tests() {
    local py="$1" label="$2"
    echo "== Python tests: $label"
    (cd tests && "$py" -m pytest -q .)
    "$py" scripts/api_surface.py >build/api-surface-other.txt
    diff -u "$surface_default" build/api-surface-other.txt ||
        { echo "$label: the Python surface differs from the default python3's" >&2; exit 1; }
    tested+=("$label")
}

tested=()
default_version="$(python3 -c 'import platform; print(platform.python_version())')"
python3 scripts/api_surface.py >"$surface_default"
python_tests python3 "$default_version (default python3, build/pip)"

abi3=()
specific=()
while read -r version py; do
    minor="${version#3.}"
    minor="${minor%%.*}"
    if [ "$minor" -ge 12 ]; then
        abi3+=("$version $py")
    elif [ "${version%.*}" != "${default_version%.*}" ]; then
        specific+=("$version $py")
    fi
done < <(nivra_find_pythons)

if [ ${#abi3[@]} -eq 0 ]; then
    echo "No CPython 3.12 or newer on this machine: the stable-ABI wheel was neither built nor tested."
else
    wheel="$(PYTHON="${abi3[0]#* }" bash scripts/wheel.sh | tail -n 1)"
    for entry in "${abi3[@]}"; do
        version="${entry%% *}"
        py="${entry#* }"
        venv="build/venv-${version%.*}"
        nivra_venv "$venv" "$py" --clear
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest
        # The module must load the oneTBB that the wheel carries, not the system's.
        so="$(cd tests && "../$venv/bin/python" -c 'import nivra._native as m; print(m.__file__)')"
        libs="$(realpath "$(dirname "$so")/../nivra.libs")"
        tbb="$(ldd "$so" | awk '/libtbb/ {print $3}')"
        echo "$(basename "$so"): libtbb => $tbb"
        case "$(realpath "$tbb")" in
        "$libs"/libtbb*) ;;
        *) echo "$so resolves libtbb outside the wheel's $libs" >&2; exit 1 ;;
        esac
        python_tests "$PWD/$venv/bin/python" "$version ($(basename "$wheel"))"
    done
fi

for entry in "${specific[@]}"; do
    version="${entry%% *}"
    py="${entry#* }"
    venv="build/venv-${version%.*}"
    tag="${version%.*}"
    tag="cp${tag/./}"
    nivra_venv "$venv" "$py"
    nivra_pip_need "$venv/bin/python" scikit_build_core nanobind numpy pytest -- \
        "scikit-build-core>=0.10" "nanobind>=2.2" "numpy>=1.22" pytest
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C build-dir="build/$tag" -C build.tool-args=-j"$jobs" .
    python_tests "$PWD/$venv/bin/python" "$version (version-specific module, build/$tag)"
done

echo "Python tests passed on:"
printf '  %s\n' "${tested[@]}"
