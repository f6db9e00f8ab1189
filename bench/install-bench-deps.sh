#!/bin/sh
# Installs what the HTTP benchmark drives and compares against: wrk and nginx.
set -eu
cd "$(dirname "$0")/.."

# Any nginx package will do.
nginx=nginx-light
[ -x /usr/sbin/nginx ] && nginx=""
sh scripts/install-deps.sh wrk python3 $nginx
