#!/bin/sh
# Installs the Debian packages that building, running and testing orval need,
# or the packages named as arguments. Does nothing when they are all present,
# so it also runs without root then.
set -eu

PACKAGES="${*:-}"
[ -n "$PACKAGES" ] || PACKAGES="build-essential cmake pkg-config libgtest-dev binutils coreutils procps locales \
          libmicrohttpd-dev ffmpeg fonts-dejavu-core libxml2-utils"

missing=""
for p in $PACKAGES; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
