#!/usr/bin/env bash
# Builds nivra and runs every test: the C++ unit tests (CTest), then the Python
# tests (pytest). Fails when either fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build/pip --output-on-failure -j"$(nproc)"
# Run from outside the source tree so that `import nivra` finds the installed package.
cd tests && python3 -m pytest -q .
