#!/usr/bin/env bash
# Regenerates the user guide's pictures, docs/images/*.png, from the real build: builds the
# session driver (tools/session) and kelvra-sim, starts the simulator on a pseudo-terminal in
# each variant, and lets the driver run both programs through a session under Xvfb, pressing
# their buttons and saving the windows as it goes. Needs only the project's build packages and
# xvfb (scripts/deps.sh installs them).
#
#   docs/screenshots.sh          (build folder: $KELVRA_SCREENSHOT_BUILD, build-screenshots)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVRA_SCREENSHOT_BUILD:-$root/build-screenshots}
out=$root/docs/images

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target session kelvra-sim >/dev/null

work=$(mktemp -d)
# shellcheck source=scripts/sim.sh
source "$root/scripts/sim.sh"
trap 'stop_sim; rm -rf "$work"' EXIT
# A plain home folder, so the file chooser shows what an engineer's would.
home=$work/engineer
mkdir -p "$home/configurations" "$out"
cp "$root/tests/data/config_full_2relays.cfg" "$home/configurations/substation-north.cfg"

for variant in full rtd; do
  start_sim "$build" "$work/port" --variant "$variant" --baud 0 ||
    { echo "$0: kelvra-sim did not start" >&2; exit 1; }
  # English texts whatever the machine's language.
  (cd "$build" && HOME="$home" KELVRA_PORT="$work/port" LC_ALL=C.UTF-8 LANGUAGE='' \
    xvfb-run -a -s "-screen 0 1280x1024x24" \
    ./tools/session --variant "$variant" --dir "$home/configurations" --screenshot "$out")
  stop_sim
  rm -f "$home/configurations/session.cfg" "$home/configurations/events.csv"
done
du -ch "$out"/*.png | tail -1
