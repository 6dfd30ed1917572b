#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated controller (kelvra-sim) on a
# pseudo-terminal and runs the tool from the build directory with KELVRA_PORT pointing at it;
# press Connect in the window to reach it. The simulator stops when the tool ends.
#   KELVRA_VARIANT=kelvra0   the RTD-only program, with an RTD-only simulator
#   KELVRA_SIM_ARGS="..."    more simulator options, e.g. "--relays 6 --options 3"
#   KELVRA_BUILD=DIR         build directory (build)
set -euo pipefail
cd "$(dirname "$0")/.."
program=${KELVRA_VARIANT:-kelvra}
case "$program" in
  kelvra) sim_variant=full ;;
  kelvra0) sim_variant=rtd ;;
  *) echo "KELVRA_VARIANT must be kelvra or kelvra0, not '$program'" >&2; exit 2 ;;
esac
build=${KELVRA_BUILD:-build}

scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target "$program" kelvra-sim ui_files catalogues
# shellcheck source=scripts/sim.sh
source scripts/sim.sh
cd "$build"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelvra-run-XXXXXX")
trap 'stop_sim; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM HUP

# The link follows the simulator onto a new pseudo-terminal should it ever hang up.
started=0
# shellcheck disable=SC2086
start_sim --out "$tmp/announce" . "$tmp/port" --variant "$sim_variant" ${KELVRA_SIM_ARGS:-} ||
  started=$?
case $started in
  1) echo "kelvra-sim did not start" >&2; exit 1 ;;
  2) echo "kelvra-sim did not announce its port" >&2; exit 1 ;;
esac
echo "Simulated controller on $(head -n1 "$tmp/announce") ($sim_variant variant)"
export KELVRA_PORT="$tmp/port"
status=0
"./$program" || status=$?
exit "$status"
