#!/bin/sh
# Puts promtool, the Prometheus checker the metrics test runs, at
# <folder>/usr/bin/promtool: Debian's prometheus package is downloaded and
# unpacked there (never installed; the whole package is hundreds of MB once
# installed, promtool alone is what the test needs). Does nothing when it is
# there already. Exits non-zero when apt cannot download the package.
set -eu
dest=${1:?usage: fetch-promtool.sh <folder>}
[ -x "$dest/usr/bin/promtool" ] && exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A fresh machine may have no package lists yet; root can fetch them.
if ! (cd "$work" && apt-get download -q prometheus) && [ "$(id -u)" -eq 0 ]; then
    apt-get update -q
    (cd "$work" && apt-get download -q prometheus)
fi
set -- "$work"/prometheus_*.deb
[ -f "$1" ] || { echo "fetch-promtool: apt could not download prometheus" >&2; exit 1; }
dpkg-deb -x "$1" "$work/unpacked"
mkdir -p "$dest/usr/bin"
cp "$work/unpacked/usr/bin/promtool" "$dest/usr/bin/promtool.tmp"
mv "$dest/usr/bin/promtool.tmp" "$dest/usr/bin/promtool"
