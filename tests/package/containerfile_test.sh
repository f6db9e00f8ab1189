#!/bin/sh
# The Containerfile, checked without a container runtime: its base is Debian
# 12, it installs Debian's tini and the package file the build makes (and
# .dockerignore lets through), tini is PID 1 in exec form, foreground mode is
# on, and the program it runs is in the package. Broken copies must fail the
# same checks, so they cannot pass by checking nothing. Then the image's
# command runs as the image runs it (Debian's tini, the ENV lines), on the
# package's program unpacked here.
# Usage: containerfile_test.sh SOURCE_DIR PACKAGE_DIR VERSION FREE_PORT_TOOL
set -u
here=$(dirname "$0")
. "$here/common.sh"
src=$1 dir=$2 version=$3 port_tool=$4
deb=$dir/orval_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
work=$(mktemp -d /tmp/orval-containerfile-XXXXXX)
cleanup() {
    for left in "${pid:-}" "$(cat "$work/root/var/run/orval.pid" 2>/dev/null)"; do
        [ -n "$left" ] && kill -KILL "$left" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
dpkg-deb -c "$deb" >"$work/list"

# Prints what is wrong with CONTAINERFILE (and the .dockerignore beside the
# repository's); returns non-zero when anything is.
check() {
    file=$1 wrong=0
    say() { echo "$file: $*"; wrong=1; }
    grep -Eq '^FROM debian:(bookworm|12)(-slim)?$' "$file" || say "the base is not Debian 12"
    pattern=$(sed -n 's/^ARG DEB=//p' "$file")
    # shellcheck disable=SC2254
    case "$(basename "$deb")" in $(basename "$pattern")) ;; *) say "ARG DEB=$pattern does not name $(basename "$deb")" ;; esac
    grep -qxF "!$pattern" "$src/.dockerignore" || say ".dockerignore does not let $pattern through"
    grep -q '^COPY \${DEB} /tmp/orval/$' "$file" || say "the package file is not copied to /tmp/orval/"
    grep -Eq 'apt-get install .*\btini\b.* /tmp/orval/\*\.deb' "$file" || say "tini and the package are not installed with apt"
    grep -qx 'ENTRYPOINT \["/usr/bin/tini", "--"\]' "$file" || say "tini is not PID 1 in exec form"
    grep -qx 'ENV ORVAL_FOREGROUND=1' "$file" || say "foreground mode is not on"
    program=$(sed -n 's/^CMD \["\([^"]*\)"\]$/\1/p' "$file")
    awk -v path=".$program" '$6 == path && $1 ~ /^-..x/ { found = 1 } END { exit !found }' "$work/list" ||
        say "CMD runs '$program', which is no program of the package"
    return $wrong
}

check "$src/Containerfile" || fail "the Containerfile"
sed 's|^CMD \["/opt/orval/orval"\]|CMD ["/opt/orval/orvald"]|' "$src/Containerfile" >"$work/no-program"
sed 's|^ENTRYPOINT .*|ENTRYPOINT /usr/bin/tini -- /opt/orval/orval|' "$src/Containerfile" >"$work/shell-form"
sed 's|^FROM .*|FROM debian:bullseye-slim|' "$src/Containerfile" >"$work/debian-11"
for broken in no-program shell-form debian-11; do
    check "$work/$broken" >/dev/null && fail "a Containerfile broken as '$broken' passed"
done

# tini, then the service in foreground mode: it serves, and SIGTERM to tini
# ends it in order, with status 0.
dpkg-deb -x "$deb" "$work/tree"
file=$src/Containerfile
entry=$(sed -n 's/^ENTRYPOINT \["\([^"]*\)", "--"\]$/\1/p' "$file")
program=$(sed -n 's/^CMD \["\([^"]*\)"\]$/\1/p' "$file")
port=$("$port_tool") || fail "no free port"
mkdir -p "$work/root/etc/orval"
echo "HTTPPort $port" >"$work/root/etc/orval/orval.conf"
# shellcheck disable=SC2046
env $(sed -n 's/^ENV //p' "$file") ORVAL_ROOT="$work/root" "$entry" -- "$work/tree$program" \
    >"$work/out" 2>&1 &
pid=$!
wait_for 20 curl -fsS -o /dev/null --max-time 2 "http://127.0.0.1:$port/status" ||
    fail "the image's command did not serve /status: $(cat "$work/out")"
wait_for 10 catches_sigterm "$(cat "$work/root/var/run/orval.pid" 2>/dev/null || echo 0)" ||
    fail "the service does not catch SIGTERM"
kill -TERM "$pid"
wait "$pid"
status=$?
[ "$status" -eq 0 ] || fail "tini ended with status $status: $(cat "$work/out")"
grep -q "ORVAL stopped" "$work/out" || fail "the service log on standard error lacks the stop: $(cat "$work/out")"
pid=

[ "$failures" -eq 0 ] && echo "Containerfile: all checks passed, its broken copies failed them, and its command served and stopped"
exit $((failures != 0))
