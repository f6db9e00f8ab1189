#!/bin/sh
# The Containerfile, checked without a container runtime: its base is Debian
# 12, it installs Debian's tini and the package file the build makes (and
# .dockerignore lets through), tini is PID 1 in exec form, foreground mode is
# on, and the program it runs is in the package. Broken copies must fail the
# same checks, so they cannot pass by checking nothing.
# Usage: containerfile_test.sh SOURCE_DIR PACKAGE_DIR VERSION
set -u
here=$(dirname "$0")
. "$here/common.sh"
src=$1 dir=$2 version=$3
deb=$dir/orval_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb"; exit 1; }
work=$(mktemp -d /tmp/orval-containerfile-XXXXXX)
trap 'rm -rf "$work"' EXIT
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

[ "$failures" -eq 0 ] && echo "Containerfile: all checks passed, and its broken copies failed them"
exit $((failures != 0))
