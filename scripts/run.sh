#!/bin/sh
# Installs what orval needs, builds it and starts the service as a daemon.
set -eu
cd "$(dirname "$0")/.."

# Only what building and running need; the tests' browser and tools are test.sh's.
sh scripts/install-deps.sh build-essential cmake pkg-config binutils coreutils procps \
    libmicrohttpd-dev ffmpeg fonts-dejavu-core
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DORVAL_TESTS=OFF >/dev/null
cmake --build build-release -j"$(nproc)"

sh scripts/demo.sh
./build-release/orval
root=${ORVAL_ROOT:-}
echo "orval: pid file $root/var/run/orval.pid, logs in $root/var/orval/log/, configuration in $root/etc/orval/"
echo "orval: watch the demo channel with: ffplay udp://127.0.0.1:5000"
