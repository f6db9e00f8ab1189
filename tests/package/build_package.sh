#!/bin/sh
# Makes the Debian package from the build folder's install rules into OUT,
# as an operator does with `cpack -G DEB`; leaves exactly one package there.
# Usage: build_package.sh BUILD_DIR OUT
set -eu
build=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
rm -rf "$out/_CPack_Packages"
set -- "$out"/orval_*_amd64.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "expected one orval_<version>_amd64.deb in $out, found: $*"
    exit 1
fi
echo "built $(basename "$1"), $(stat -c %s "$1") bytes"
echo "Depends: $(dpkg-deb -f "$1" Depends)"
