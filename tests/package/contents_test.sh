#!/bin/sh
# The built package: its name, control fields, files and their modes, the
# maintainer scripts, the unit as systemd reads it, and the packaged program
# run from an unpacked copy.
# Usage: contents_test.sh PACKAGE_DIR VERSION FREE_PORT_TOOL
set -u
here=$(dirname "$0")
. "$here/common.sh"
dir=$1 version=$2 port_tool=$3
deb=$dir/orval_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
work=$(mktemp -d /tmp/orval-package-XXXXXX)
cleanup() {
    pid=$(cat "$work/run/var/run/orval.pid" 2>/dev/null) && kill -KILL "$pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orval ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for wanted in ffmpeg libc6 libmicrohttpd12 libstdc++6; do
    printf '%s\n' "$depends" | tr ',' '\n' | grep -q "^ *$wanted\b" ||
        fail "Depends lacks $wanted: $depends"
done

# Modes and owners as dpkg will lay them down.
dpkg-deb -c "$deb" >"$work/list"
expect_entry() {
    awk -v mode="$1" -v path="$2" '$1 == mode && $2 == "root/root" && $6 == path { found = 1 }
        END { exit !found }' "$work/list" || fail "no $1 root/root $2 in: $(cat "$work/list")"
}
expect_entry -rwxr-xr-x ./opt/orval/orval
expect_entry -rwxr-xr-x ./opt/orval/orval.so
expect_entry -rw-r--r-- ./lib/systemd/system/orval.service
# The settings and work folders are the service's own: dpkg must not own them.
grep -q -e '\./etc/orval' -e '\./var/orval' "$work/list" && fail "the package ships /etc/orval or /var/orval"

mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    if [ -x "$work/control/$script" ]; then
        sh -n "$work/control/$script" || fail "$script does not parse"
    else
        fail "no executable $script"
    fi
done
grep -q '\[ -d /run/systemd/system \]' "$work/control/postinst" ||
    fail "postinst does not look for a running systemd"

# systemd checks the unit against the unpacked tree (ExecStart must exist
# there) with the machine's own units for the targets it names.
dpkg-deb -x "$deb" "$work/tree"
unit=$work/tree/lib/systemd/system/orval.service
cp -rn /lib/systemd/system/. "$work/tree/lib/systemd/system/"
systemd-analyze verify --root="$work/tree" /lib/systemd/system/orval.service 2>"$work/verify.err" ||
    fail "systemd-analyze verify failed"
[ -s "$work/verify.err" ] && fail "systemd-analyze verify complained: $(cat "$work/verify.err")"
for line in Type=forking PIDFile=/var/run/orval.pid ExecStart=/opt/orval/orval Restart=on-failure \
    WantedBy=multi-user.target; do
    grep -qx "$line" "$unit" || fail "the unit lacks $line"
done

check_program_runs "" "$work/tree/opt/orval/orval" "$work/run" "$work/run" "$port_tool"

echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes, Depends: $depends"
[ "$failures" -eq 0 ] && echo "package contents: all checks passed"
exit $((failures != 0))
