#!/usr/bin/env bash
# Builds the libFuzzer programs with clang, AddressSanitizer and UndefinedBehaviorSanitizer in
# build-fuzz, then fuzzes each target named (all by default) for RUNS executions, starting from
# its seed corpus. New inputs go to build-fuzz/fuzz/corpus-<target>, crashes to
# build-fuzz/fuzz/<target>-crash-*; reproduce one with the program and the file as argument.
#   RUNS=10000000 fuzz/run.sh [target...]      extra libFuzzer flags in FUZZ_FLAGS
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-14 libclang-rt-14-dev

build=${KELVRA_FUZZ_BUILD:-build-fuzz}
runs=${RUNS:-10000000}
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_config_reader fuzz_link_replies fuzz_event_dump fuzz_event_records)

# The whole core is instrumented for coverage; only the fuzz programs get libFuzzer's main.
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVRA_SANITIZE=ON -DKELVRA_TESTS=OFF -DKELVRA_FUZZ=ON \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

# Longest input: a configuration file of a few parameters more than the seeds; a register reply
# up to the reply limit with its header and cuts (a dump repeats its payload, so it needs no
# more).
declare -A max_len=([fuzz_config_reader]=4096 [fuzz_link_replies]=1100 [fuzz_event_dump]=1100
  [fuzz_event_records]=4096)
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
for t in "${targets[@]}"; do
  work=$build/fuzz/corpus-$t
  mkdir -p "$work"
  # shellcheck disable=SC2086
  "$build/fuzz/$t" -runs="$runs" -max_len="${max_len[$t]}" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz/$t-" ${FUZZ_FLAGS:-} "$work" "fuzz/corpus/$t"
done
