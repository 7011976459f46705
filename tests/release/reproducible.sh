#!/usr/bin/env bash
# Two builds of the host from clean trees of the current commit, in different
# directories, at different times and with different SOURCE_DATE_EPOCH, must
# give byte-identical executables.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

build() {
    local tree=$1 epoch=$2
    mkdir -p "$tree"
    git -C "$repo" archive HEAD | tar -x -C "$tree"
    (cd "$tree" && SOURCE_DATE_EPOCH=$epoch cmake -S . -B build -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
        -DSVCSHIM_DIST_DIR="$tree/out" >/dev/null &&
        SOURCE_DATE_EPOCH=$epoch cmake --build build --target svcshim >/dev/null)
    sha256sum "$tree/out/svcshim.exe" | cut -d' ' -f1
}

first=$(build "$work/a" 1700000000)
sleep 1
second=$(build "$work/elsewhere/b" 1800000000)
echo "first build:  $first"
echo "second build: $second"
if [ "$first" != "$second" ]; then
    echo "FAIL: two clean builds differ"
    cmp -l "$work/a/out/svcshim.exe" "$work/elsewhere/b/out/svcshim.exe" | head -20
    exit 1
fi
echo "PASS: the two clean builds are byte-identical"
