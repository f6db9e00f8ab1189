#!/bin/sh
# Installs the Debian packages that building, running and testing orval need,
# or the packages named as arguments, then the browser tests' Node packages
# (package-lock.json) into node_modules/. Does nothing when they are all
# present, so it also runs without root then.
set -eu
cd "$(dirname "$0")/.."

PACKAGES="${*:-}"
if [ -z "$PACKAGES" ]; then
    PACKAGES="build-essential cmake pkg-config libgtest-dev binutils coreutils procps locales \
              libmicrohttpd-dev ffmpeg fonts-dejavu-core libxml2-utils chromium \
              clang-14 libclang-rt-14-dev debootstrap dpkg-dev systemd curl openssl tini \
              libavformat-dev libavcodec-dev libavutil-dev \
              nginx-light libnginx-mod-rtmp"
    # The browser tests run on the machine's own Node.js when it has one.
    command -v node >/dev/null 2>&1 || PACKAGES="$PACKAGES nodejs npm"
    NODE_PACKAGES=yes
fi

missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done

if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing packages:$missing (run as root to install them)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends $missing
fi

# playwright-core drives the system's Chromium and downloads no browser;
# axe-core checks the page's accessibility inside it; typescript, yaml and
# kubernetes-types check the Kubernetes manifests.
stale=no
for module in playwright-core axe-core typescript yaml kubernetes-types; do
    wanted=$(sed -n "s/.*\"$module\": *\"\([0-9.]*\)\".*/\1/p" package.json)
    have=$(sed -n 's/^ *"version": *"\([0-9.]*\)".*/\1/p' "node_modules/$module/package.json" 2>/dev/null | head -n 1)
    [ "$have" = "$wanted" ] || stale=yes
done
if [ "${NODE_PACKAGES:-}" = yes ] && [ "$stale" = yes ]; then
    npm ci --no-audit --no-fund
fi
