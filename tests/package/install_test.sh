#!/bin/sh
# Installs the package as an operator would on a fresh minimal Debian 12: a
# bookworm system made with debootstrap in a folder of this test's own, the
# package installed there with apt (which brings its dependencies), the
# installed program run and stopped, then a remove and a purge. The maintainer
# scripts are also run once under a stand-in systemctl, as on a machine where
# systemd runs. Where this machine cannot make such a system (not root, no
# debootstrap, no package archive) it says so and checks the unpacked program.
# Usage: install_test.sh PACKAGE_DIR VERSION FREE_PORT_TOOL CACHE_DIR
set -u
here=$(dirname "$0")
. "$here/common.sh"
dir=$1 version=$2 port_tool=$3 cache=$4
deb=$dir/orval_${version}_amd64.deb
mirror=http://deb.debian.org/debian
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
started=$(date +%s)
work=$(mktemp -d /tmp/orval-install-XXXXXX)
target=$work/bookworm
mounts=""

cleanup() {
    for pidfile in "$work/run/var/run/orval.pid" "$target/srv/orval-test/var/run/orval.pid"; do
        pid=$(cat "$pidfile" 2>/dev/null) && kill -KILL "$pid" 2>/dev/null
    done
    for m in $mounts; do
        umount "$m" 2>/dev/null || umount -l "$m"
    done
    # Never delete through a mount that is still there.
    if grep -q " $work/" /proc/mounts; then
        echo "FAIL: left mounted under $work, not removed"
        exit 1
    fi
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fall_back() {
    echo "package.install: $1; fell back to dpkg -x of the package"
    dpkg-deb -x "$deb" "$work/tree" || { echo "FAIL: cannot unpack $deb"; exit 1; }
    check_program_runs "" "$work/tree/opt/orval/orval" "$work/run" "$work/run" "$port_tool"
    exit $((failures != 0))
}

[ "$(id -u)" -eq 0 ] || fall_back "not root"
command -v debootstrap >/dev/null || fall_back "debootstrap is not installed"

# The downloaded base system is kept in the build folder across runs.
mkdir -p "$cache/apt-archives/partial"
cache=$(cd "$cache" && pwd)  # debootstrap takes absolute paths only
tarball=$cache/bookworm-minbase.tgz
if [ ! -s "$tarball" ]; then
    timeout 900 debootstrap --variant=minbase --make-tarball="$tarball.new" bookworm \
        "$work/download" "$mirror" >"$work/debootstrap.log" 2>&1 ||
        { tail -n 5 "$work/debootstrap.log"; rm -f "$tarball.new"; fall_back "debootstrap cannot download bookworm"; }
    mv "$tarball.new" "$tarball"
fi
timeout 900 debootstrap --variant=minbase --unpack-tarball="$tarball" bookworm "$target" "$mirror" \
    >"$work/debootstrap.log" 2>&1 || { tail -n 20 "$work/debootstrap.log"; echo "FAIL: debootstrap"; exit 1; }
echo "bookworm minimal system ready after $(($(date +%s) - started)) s"

mount -t proc proc "$target/proc" && mounts="$target/proc $mounts"
mount --bind /dev "$target/dev" && mounts="$target/dev $mounts"
mount --bind /dev/pts "$target/dev/pts" && mounts="$target/dev/pts $mounts"
mount --bind "$cache/apt-archives" "$target/var/cache/apt/archives" &&
    mounts="$target/var/cache/apt/archives $mounts"

# The chroot with a clean environment, as a command prefix.
in_target="chroot $target env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8"
# apt-get in the chroot; on failure the end of its output is shown.
apt_in_target() {
    timeout 900 $in_target apt-get -q -y "$@" >"$work/apt.log" 2>&1 && return 0
    tail -n 30 "$work/apt.log"
    return 1
}

apt_in_target update || { fall_back "the package archive cannot be reached"; }
cp "$deb" "$target/tmp/"
package=/tmp/$(basename "$deb")

# A stand-in systemctl (minbase has no systemd) records what the maintainer
# scripts ask of it; it must not be asked while no systemd runs.
cat >"$target/usr/bin/systemctl" <<'SH'
#!/bin/sh
echo "$*" >>/tmp/systemctl.calls
if [ "$1" = enable ]; then
    mkdir -p /etc/systemd/system/multi-user.target.wants
    ln -sf /lib/systemd/system/orval.service /etc/systemd/system/multi-user.target.wants/orval.service
fi
SH
chmod 755 "$target/usr/bin/systemctl"
calls=$target/tmp/systemctl.calls

# 1. A plain install: apt brings ffmpeg and the libraries; with no systemd
# running nothing is started.
if ! apt_in_target install "$package"; then
    echo "FAIL: apt-get install of the package"
    exit 1
fi
echo "installed with its dependencies after $(($(date +%s) - started)) s"
$in_target dpkg -s ffmpeg 2>/dev/null | grep -q '^Status: install ok installed' ||
    fail "ffmpeg was not brought in"
$in_target ffmpeg -hide_banner -version >/dev/null 2>&1 || fail "the installed ffmpeg does not run"
for f in opt/orval/orval opt/orval/orval.so; do
    [ -x "$target/$f" ] || fail "no /$f"
done
[ -f "$target/lib/systemd/system/orval.service" ] || fail "no unit"
[ -e "$target/run/orval.pid" ] && fail "something started the service without systemd"
grep -qs orval "$calls" && fail "install without systemd asked systemctl for: $(cat "$calls")"

# 2. The installed program, as the service runs it.
check_program_runs "$in_target" /opt/orval/orval /srv/orval-test "$target/srv/orval-test" "$port_tool"

# 3. A remove keeps the operator's settings and work files.
mkdir -p "$target/etc/orval" "$target/var/orval/log"
echo "HTTPPort 8888" >"$target/etc/orval/orval.conf"
echo "kept" >"$target/var/orval/log/orval.log"
apt_in_target remove orval || fail "apt-get remove"
[ -e "$target/opt/orval/orval" ] && fail "the program is still there after remove"
[ -e "$target/lib/systemd/system/orval.service" ] && fail "the unit is still there after remove"
[ -f "$target/etc/orval/orval.conf" ] || fail "remove took /etc/orval/orval.conf"
[ -f "$target/var/orval/log/orval.log" ] || fail "remove took /var/orval"
grep -qs orval "$calls" && fail "remove without systemd asked systemctl for: $(cat "$calls")"

# 4. Where systemd runs, install enables and starts the unit and purge stops it.
mkdir -p "$target/run/systemd/system"
: >"$calls"
apt_in_target install "$package" || fail "apt-get install under systemd"
printf 'daemon-reload\nenable orval.service\nrestart orval.service\n' >"$work/expected.install"
cmp -s "$work/expected.install" "$calls" ||
    fail "install asked systemctl for: $(cat "$calls" 2>/dev/null)"
: >"$calls"
apt_in_target purge orval || fail "apt-get purge"
head -n 1 "$calls" | grep -qx "stop orval.service" ||
    fail "purge asked systemctl for: $(cat "$calls")"

# 5. Purge leaves nothing of the service behind.
[ -e "$target/etc/orval" ] && fail "purge kept /etc/orval"
[ -e "$target/var/orval" ] && fail "purge kept /var/orval"
[ -e "$target/etc/systemd/system/multi-user.target.wants/orval.service" ] &&
    fail "purge kept the unit enabled"
$in_target dpkg -s orval >/dev/null 2>&1 && fail "dpkg still knows orval after purge"

echo "package install test took $(($(date +%s) - started)) s"
[ "$failures" -eq 0 ] && echo "package install: all checks passed"
exit $((failures != 0))
