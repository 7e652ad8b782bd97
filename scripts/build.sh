#!/usr/bin/env bash
# Builds and installs the nivra package into the current Python, together with
# the C++ test binaries, in one incremental build tree (build/pip).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
PIP_ROOT_USER_ACTION=ignore python3 -m pip install -q --no-build-isolation --no-deps \
    -C cmake.define.NIVRA_BUILD_TESTS=ON \
    -C build.tool-args=-j"$(nproc)" .
