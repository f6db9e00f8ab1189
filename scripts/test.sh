#!/bin/sh
# Installs what orval needs, builds it and runs every test: a debug build, then
# the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then the web tests (label "web") built with ThreadSanitizer, whose daemons
# run the management server's threads against the supervision loop. The
# browser tests (label "browser") drive Chromium against the debug build's
# daemon; the sanitizer builds leave them out, as they would take as long
# again and the web tests already drive those builds' servers. Last, the
# libFuzzer harnesses (built with clang) run over their starting corpora and fuzz
# a few seconds each; scripts/fuzz.sh runs them for longer.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVAL_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DORVAL_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target orval orval_web_tests
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug -DORVAL_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzzers

status=0
ctest --test-dir build-asan -LE browser -j"$jobs" --output-on-failure || status=1
ctest --test-dir build -j"$jobs" --output-on-failure || status=1
ctest --test-dir build-tsan -L web -j"$jobs" --output-on-failure || status=1
ctest --test-dir build-fuzz -L fuzz -j"$jobs" --output-on-failure || status=1
exit $status
