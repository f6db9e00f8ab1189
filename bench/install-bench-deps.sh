#!/bin/sh
# Installs what the HTTP benchmark drives and compares against: wrk and nginx.
# Does nothing when both are present, so it also runs without root then.
set -eu

missing=""
for p in wrk nginx-light python3; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
# Any nginx package will do.
if [ -x /usr/sbin/nginx ]; then
    missing=$(echo "$missing" | sed 's/ nginx-light//')
fi
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-bench-deps: missing packages:$missing (run as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends $missing
