#!/usr/bin/env bash
# Regenerates the user guide's pictures, docs/images/*.png, from the real build: builds the
# session driver (tools/session) and kelvra-sim, starts the simulator on a pseudo-terminal in
# each variant, and lets the driver run both programs through a session under Xvfb, pressing
# their buttons and saving the windows as it goes. Then kelvra-cli makes a commissioning report
# of a simulated controller, whose first page and page of events pdftoppm turns into pictures.
# Needs only the project's build packages, xvfb and poppler-utils (scripts/deps.sh installs them).
#
#   docs/screenshots.sh          (build folder: $KELVRA_SCREENSHOT_BUILD, build-screenshots)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVRA_SCREENSHOT_BUILD:-$root/build-screenshots}
out=$root/docs/images

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target session kelvra-sim kelvra-cli >/dev/null

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
# The report: a download, an upload of a changed set point, the events, then the report, by an
# engineer whose name the history's versions carry too. "Reached by" names the simulator.
printf '[user]\n\tname = A. Ruiz\n\temail = a.ruiz@example.com\n' >"$home/.gitconfig"
start_sim "$build" "$work/kelvra-sim" --baud 0 --relays 3 --events 800 ||
  { echo "$0: kelvra-sim did not start" >&2; exit 1; }
cli() {
  (cd "$work" && HOME="$home" KELVRA_PORT=kelvra-sim LC_ALL=C.UTF-8 LANGUAGE='' \
    "$build/kelvra-cli" --asset site12 --history "$work/history" "$@" >/dev/null)
}
cli download -o "$work/site12.cfg"
sed -i 's/address="0">80</address="0">85</' "$work/site12.cfg"
cli upload "$work/site12.cfg"
cli events
cli report -o "$work/report.pdf" --engineer "A. Ruiz"
stop_sim
pages=$(pdfinfo "$work/report.pdf" | awk '/^Pages:/ { print $2 }')
for ((page = 1; page <= pages; page++)); do
  shot=""
  [ "$page" = 1 ] && shot=report-first-page
  pdftotext -f "$page" -l "$page" "$work/report.pdf" - | grep -q '^Events$' && shot=report-events
  [ -z "$shot" ] ||
    pdftoppm -png -r 72 -f "$page" -l "$page" -singlefile "$work/report.pdf" "$out/$shot"
done
du -ch "$out"/*.png | tail -1
