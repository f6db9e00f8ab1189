#!/bin/sh
# Puts promtool (the Prometheus checker the metrics and rules tests run) and
# prometheus (the server the fleet test starts) at <folder>/usr/bin/: Debian's
# prometheus package is downloaded and unpacked there (never installed, so no
# service starts and nothing outside the folder changes; the two programs are
# all the tests need). Does nothing when both are there already. Exits
# non-zero when apt cannot download the package.
set -eu
dest=${1:?usage: fetch-promtool.sh <folder>}
[ -x "$dest/usr/bin/promtool" ] && [ -x "$dest/usr/bin/prometheus" ] && exit 0

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
# Each appears whole or not at all: tests may look for them meanwhile.
for program in prometheus promtool; do
    cp "$work/unpacked/usr/bin/$program" "$dest/usr/bin/$program.tmp.$$"
    mv "$dest/usr/bin/$program.tmp.$$" "$dest/usr/bin/$program"
done
