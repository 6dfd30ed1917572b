# shellcheck shell=bash disable=SC2034  # sim_status is for the callers
# Sourced by the scripts that run the tool against the simulated controller, so that each starts
# and stops kelvra-sim the same way.
#
#   start_sim [--out FILE] [--wait SECONDS] [--under COMMAND [ARG...] --] BUILD LINK [OPTION...]
#     Starts BUILD/kelvra-sim --link LINK OPTION... in the background, under COMMAND when given
#     (e.g. valgrind and its options), printing into FILE (else nowhere), and waits up to SECONDS
#     (10) for LINK and, with FILE, for the pseudo-terminal path it prints first. Sets sim_pid.
#     Returns 1 when the simulator ended before that, 2 when the wait ran out.
#   stop_sim
#     Sends it SIGTERM, as a user would, so that it removes its link and a wrapper still reports,
#     and sets sim_status to its exit status. Does nothing when none runs, so traps may call it.

sim_pid=""
sim_status=0

start_sim() {
  local out=/dev/null wait=10 under=() tries
  sim_status=0
  while [ $# -gt 0 ]; do
    case $1 in
      --out) out=$2; shift 2 ;;
      --wait) wait=$2; shift 2 ;;
      --under)
        shift
        while [ $# -gt 0 ] && [ "$1" != -- ]; do under+=("$1"); shift; done
        [ $# -gt 0 ] || { echo "start_sim: --under needs a closing --" >&2; return 2; }
        shift
        ;;
      *) break ;;
    esac
  done
  local build=$1 link=$2
  shift 2
  # A link left from an earlier run would end the wait before this simulator is up.
  rm -f "$link"
  "${under[@]}" "$build/kelvra-sim" --link "$link" "$@" >"$out" &
  sim_pid=$!
  for ((tries = wait * 10; tries > 0; tries--)); do
    # The path is printed just after the link is made; a plain file only counts once it has it.
    [ -e "$link" ] && { [ ! -f "$out" ] || [ -s "$out" ]; } && return 0
    if ! kill -0 "$sim_pid" 2>/dev/null; then
      wait "$sim_pid" 2>/dev/null || sim_status=$?
      sim_pid=""
      return 1
    fi
    sleep 0.1
  done
  return 2
}

stop_sim() {
  [ -n "$sim_pid" ] || return 0
  sim_status=0
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || sim_status=$?
  sim_pid=""
}
