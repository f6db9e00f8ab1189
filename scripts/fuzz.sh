#!/bin/sh
# Runs every libFuzzer harness for longer than the test suite does, two at a
# time, and prints the executions each reached. Usage:
#   scripts/fuzz.sh [seconds per harness, default 180] [harness ...]
# New inputs go to build-fuzz/fuzz-found/<name>/, findings to
# build-fuzz/fuzz-found/<name>-crash-*; the starting corpus stays as it is.
set -eu
cd "$(dirname "$0")/.."

seconds="${1:-180}"
[ $# -gt 0 ] && shift
names="${*:-config sdp acl form session playlist launcher escape output}"

CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DORVAL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j2 --target fuzzers

run() {
    found="build-fuzz/fuzz-found/$1"
    mkdir -p "$found"
    "build-fuzz/tests/fuzz/fuzz_$1" "$found" "tests/fuzz/corpus/$1" -max_total_time="$seconds" \
        -timeout=10 -print_final_stats=1 -artifact_prefix="build-fuzz/fuzz-found/$1-" \
        >"build-fuzz/fuzz-$1.log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build-fuzz/fuzz-$1.log")
    if grep -q "^==[0-9]*== *ERROR\|fuzz finding\|runtime error" "build-fuzz/fuzz-$1.log"; then
        echo "$1: FINDING after ${runs:-?} executions, see build-fuzz/fuzz-$1.log"
    else
        echo "$1: ${runs:-?} executions in ${seconds} s, no finding"
    fi
}

set -- $names
while [ $# -gt 0 ]; do
    run "$1" &
    if [ $# -gt 1 ]; then run "$2" & shift; fi
    shift
    wait
done
