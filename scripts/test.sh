#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, checks the formatting and runs every test under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${KELVRA_TEST_BUILD:-build-test}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
scripts/format.sh --check
/usr/bin/python3 scripts/check-layers.py
xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 300
scripts/test-ratio.sh
