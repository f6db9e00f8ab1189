#!/usr/bin/env bash
# run_supervise.sh: builds the supervision benchmark in build-release/ and runs
# it; with --with-anchors the reference supervisors run in the same window.
#
# Usage: bench/run_supervise.sh [--with-anchors] [orva_bench_supervise options]
# e.g.   bench/run_supervise.sh --slots 128 --seconds 60 --log 32
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build="$repo/build-release"
anchors=$(cd "$repo/.." && pwd)/shared/bench-anchors
bench="$build/bench/orva_bench_supervise"

with_anchors=0
args=()
for a in "$@"; do
  if [ "$a" = "--with-anchors" ]; then with_anchors=1; else args+=("$a"); fi
done

# The figures the bound and the anchors' window depend on; the benchmark, like
# this, takes the last of repeated options.
option() {  # option NAME DEFAULT
  local i value=$2
  for ((i = 0; i + 1 < ${#args[@]}; i++)); do
    if [ "${args[$i]}" = "$1" ]; then value=${args[$((i + 1))]}; fi
  done
  echo "$value"
}
seconds=$(option --seconds 60)
kills=$(option --kills 20)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DORVAL_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target orva_bench_supervise -j"$(nproc)" >/dev/null

tmp=$(mktemp -d /tmp/orva-bench-run-XXXXXX)
bench_pid=""
anchor_pid=""
# Stops only what this script started, each by its own pid.
# shellcheck disable=SC2317  # run by the trap
cleanup() {
  for pid in $bench_pid $anchor_pid; do
    if kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts the anchors and returns once their children run, so that our run,
# settling as long as they do, measures the same window.
start_anchors() {
  # The compiled helpers go to our build folder, not into the shared one.
  BENCH_BIN="$build/bench/anchor-bin" timeout -k 10 $((seconds + 300)) \
    python3 "$anchors/anchor_supervise.py" --peers poll128,event128 --windows 1 \
    --settle 10 --window "$seconds" >"$tmp/anchors.out" 2>"$tmp/anchors.err" &
  anchor_pid=$!
  local waited=0
  until grep -q "all children up" "$tmp/anchors.err"; do
    if ! kill -0 "$anchor_pid" 2>/dev/null || [ $waited -ge 600 ]; then
      echo "the anchors did not start; running the benchmark alone. Their log:" >&2
      cat "$tmp/anchors.err" >&2
      return 1
    fi
    sleep 0.2
    waited=$((waited + 1))
  done
  args+=(--settle 10)
}

if [ $with_anchors = 1 ]; then
  [ -f "$anchors/anchor_supervise.py" ] || { echo "no anchors in $anchors" >&2; exit 1; }
  if ! start_anchors; then
    kill -TERM "$anchor_pid" 2>/dev/null || true
    wait "$anchor_pid" 2>/dev/null || true
    anchor_pid=""
    with_anchors=0
  fi
fi

settle=$(option --settle 5)
timeout -k 10 $((settle + seconds + kills + 60)) "$bench" "${args[@]}" &
bench_pid=$!
status=0
wait "$bench_pid" || status=$?
bench_pid=""

if [ $with_anchors = 1 ]; then
  if ! wait "$anchor_pid"; then
    echo "the anchors failed; their log:" >&2
    cat "$tmp/anchors.err" >&2
  fi
  anchor_pid=""
  cat "$tmp/anchors.out"
elif [ -f "$anchors/anchor_supervise.py" ] && [[ " $* " != *" --with-anchors "* ]]; then
  echo
  echo "Reference supervisors are in $anchors. To measure them in the same window:"
  echo "  bench/run_supervise.sh --with-anchors${args[*]:+ ${args[*]}}"
  echo "or on their own:"
  echo "  python3 $anchors/anchor_supervise.py --peers poll128,event128 --windows 1"
fi
exit $status
