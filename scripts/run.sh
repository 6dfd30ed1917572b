#!/usr/bin/env bash
# Installs what is missing, builds, and runs the tool from the build directory.
# KELVRA_VARIANT=kelvra0 runs the RTD-only program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd build
exec "./${KELVRA_VARIANT:-kelvra}"
