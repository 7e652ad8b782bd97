#!/usr/bin/env bash
# Installs what building and testing nivra needs: Debian packages with apt-get
# and Python packages with pip. Safe to run again; does nothing when all is present.
set -euo pipefail

debs=(g++ cmake ninja-build ccache libtbb-dev libeigen3-dev libboost-dev libgtest-dev libbenchmark-dev)
missing=()
for pkg in "${debs[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python3 - <<'PY' || python3 -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.2" "numpy>=1.22" pytest
import importlib.util, sys
mods = ["scikit_build_core", "nanobind", "numpy", "pytest"]
sys.exit(0 if all(importlib.util.find_spec(m) for m in mods) else 1)
PY
