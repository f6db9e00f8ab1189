#!/bin/sh
# Installs what orval needs, builds it and runs every test: a debug build, then
# the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
# then the web tests (label "web") built with ThreadSanitizer, whose daemons
# run the management server's threads against the supervision loop. The
# browser tests (label "browser") drive Chromium against the debug build's
# daemon; the sanitizer builds leave them out, as they would take as long
# again and the web tests already drive those builds' servers.
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

status=0
ctest --test-dir build-asan -LE browser -j"$jobs" --output-on-failure || status=1
ctest --test-dir build -j"$jobs" --output-on-failure || status=1
ctest --test-dir build-tsan -L web -j"$jobs" --output-on-failure || status=1
exit $status
