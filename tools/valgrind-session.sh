#!/usr/bin/env bash
# Runs the real program through one whole session (tools/session) under valgrind's memcheck,
# against kelvra-sim on a pseudo-terminal (under memcheck too), under Xvfb. Prints memcheck's error and leak
# summary and every reported stack that passes through the project's own code, and fails when
# memcheck found an error or a definite leak, or the session failed a check.
#
#   tools/valgrind-session.sh [full|rtd]     (build folder: $KELVRA_VALGRIND_BUILD, build-valgrind)
#
# Suppressions (tools/valgrind.supp) cover allocations the toolkit keeps for the life of the
# process, never the project's code. The full report stays in $KELVRA_VALGRIND_LOG when set.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELVRA_VALGRIND_BUILD:-$root/build-valgrind}
variant=${1:-full}
case $variant in full | rtd) ;; *) echo "usage: $0 [full|rtd]" >&2; exit 2 ;; esac
for tool in valgrind xvfb-run; do
  command -v $tool >/dev/null || { echo "$0: $tool is missing (apt-get install $tool)" >&2; exit 2; }
done

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target session kelvra-sim >/dev/null

work=$(mktemp -d)
# shellcheck source=scripts/sim.sh
source "$root/scripts/sim.sh"
trap 'stop_sim; rm -rf "$work"' EXIT
mkdir -p "$work/home"
# The simulator runs under memcheck as well, with a log of its own.
start_sim --out "$work/sim.out" --wait 30 --under valgrind --tool=memcheck --leak-check=full \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite \
  --error-exitcode=99 --num-callers=40 --fullpath-after="$root/" \
  --log-file="$work/sim-valgrind.log" -- "$build" "$work/port" --variant "$variant" --baud 0 ||
  { echo "$0: kelvra-sim did not start" >&2; exit 1; }

log=${KELVRA_VALGRIND_LOG:-$work/valgrind.log}
status=0
# The program runs from the build folder, where it finds its interface files; GLib's slice
# allocator is turned into plain malloc so memcheck sees every block.
(cd "$build" && HOME="$work/home" KELVRA_PORT="$work/port" G_SLICE=always-malloc \
  G_DEBUG=gc-friendly xvfb-run -a -s "-screen 0 1280x1024x24" \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \
  --errors-for-leak-kinds=definite --error-exitcode=99 --num-callers=40 \
  --fullpath-after="$root/" --suppressions="$root/tools/valgrind.supp" \
  --log-file="$log" ./tools/session --variant "$variant") || status=$?

# Stopped as a user stops it (SIGTERM), so that it ends normally and memcheck reports.
stop_sim
echo "--- memcheck summary, kelvra-sim (exit $sim_status)"
grep -E 'ERROR SUMMARY|definitely lost:|indirectly lost:|possibly lost:|in use at exit:' \
  "$work/sim-valgrind.log" | sed 's/^==[0-9]*== *//'
[ $sim_status -eq 0 ] || { echo "--- kelvra-sim under memcheck"; cat "$work/sim-valgrind.log"; }
[ $status -eq 0 ] && [ $sim_status -ne 0 ] && status=$sim_status

echo "--- memcheck summary, the program"
grep -E 'ERROR SUMMARY|definitely lost:|indirectly lost:|possibly lost:|still reachable:|suppressed:' "$log" |
  sed 's/^==[0-9]*== *//'
# Every record left (errors and definite leaks, after the suppressions): its first line, the
# first frame past the allocator, libc and GLib (whose code asked for the memory or made the
# access), and the innermost frame of the project's code, if any.
awk '/^==[0-9]+== *$/ { report(); next }
     { line = $0; sub(/^==[0-9]+== */, "", line)
       if (head == "") head = line
       if (line !~ /^(at|by) /) next
       if (owner == "" && line !~ /vgpreload|libglib-2\.0|libgobject-2\.0|libstdc\+\+|libc\.so|\((string|malloc)\//)
         owner = line
       if (ours == "" && line ~ /\((src|sim|tools)\//) ours = line }
     function report() {
       if (head ~ /^(Invalid|Conditional|Use of|Syscall|Mismatched|Source and dest|Argument)/ ||
           head ~ /definitely lost in loss record/) {
         print head; print "    first owner: " owner; print "    project frame: " (ours == "" ? "none" : ours)
         if (owner ~ /\((src|sim|tools)\//) found = 1
       }
       head = ""; owner = ""; ours = "" }
     END { report(); exit found }' "$log" >"$work/records" || { [ $status -eq 0 ] && status=98; }
if [ -s "$work/records" ]; then
  echo "--- records left after the suppressions"
  cat "$work/records"
else
  echo "--- no error and no definite leak left after the suppressions"
fi
echo "--- session exit: $status"
exit $status
