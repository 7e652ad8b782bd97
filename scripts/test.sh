#!/usr/bin/env bash
# Builds nivra and runs every test: the C++ unit tests (CTest) in the release
# build and again under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the Python tests (pytest). Fails when any of them fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
jobs="$(nproc)"
ctest --test-dir build/pip --output-on-failure -j"$jobs"

# Memory errors in the C++ code fail the run here rather than in a user's process.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNIVRA_SANITIZE=ON \
    -DNIVRA_BUILD_TESTS=ON -DNIVRA_BUILD_PYTHON=OFF >/dev/null
cmake --build build/asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j"$jobs"

# Run from outside the source tree so that `import nivra` finds the installed package.
cd tests && python3 -m pytest -q .
