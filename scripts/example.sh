#!/usr/bin/env bash
# Builds nivra and runs the example in examples/demo.py.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
python3 examples/demo.py
