#!/bin/sh
# Installs the build into a temporary prefix and builds and runs a small
# program against it, once through the CMake package and once through
# pkg-config, as an application outside the tree would.
# Usage: install-test.sh BUILD-DIR CONSUMER-SOURCE-DIR CMAKE CXX VERSION LIBDIR
set -eu
build_dir=$1
consumer_dir=$2
cmake=$3
cxx=$4
version=$5
libdir_name=$6

work=$(mktemp -d "${TMPDIR:-/tmp}/nivora-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cmake" --install "$build_dir" --prefix "$prefix" >/dev/null

# The library with its SONAME links, and the headers under their subfolders.
libdir=$prefix/$libdir_name
[ -L "$libdir/libnivora-vexbususb.so" ] || fail "no libnivora-vexbususb.so link in $libdir"
[ -L "$libdir/libnivora-vexbususb.so.1" ] || fail "no libnivora-vexbususb.so.1 link in $libdir"
[ -f "$libdir/libnivora-vexbususb.so.$version" ] || fail "no libnivora-vexbususb.so.$version in $libdir"
for header in nivoravexbususbversion.h nivoravexbususb_export.h link/nivoravexbususbpacket.h \
              devicewatcher/nivoravexbususbdevicewatcher.h logging/nivoravexbususblogging.h; do
    [ -f "$prefix/include/nivora-vexbususb/$header" ] || fail "header $header is not installed"
done

expected="nivora-vexbususb $version, "

check_output() {
    output=$("$1")
    echo "$output"
    case "$output" in
        "$expected"*) ;;
        *) fail "$1 printed \"$output\", expected it to start with \"$expected\"" ;;
    esac
}

echo "== CMake package"
"$cmake" -S "$consumer_dir" -B "$work/cmake-build" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
"$cmake" --build "$work/cmake-build" >/dev/null
check_output "$work/cmake-build/nivora-consumer"

echo "== pkg-config"
PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
export PKG_CONFIG_PATH
pkg-config --exists nivora-vexbususb || fail "pkg-config does not find nivora-vexbususb"
[ "$(pkg-config --modversion nivora-vexbususb)" = "$version" ] || fail "pkg-config reports another version"
# Qt is built position-independent and requires -fPIC from its users.
# shellcheck disable=SC2046
"$cxx" -std=c++17 -fPIC -o "$work/pkgconfig-consumer" "$consumer_dir/main.cpp" \
    $(pkg-config --cflags --libs nivora-vexbususb) ${LDFLAGS:-} \
    -Wl,-rpath,"$(pkg-config --variable=libdir nivora-vexbususb)"
check_output "$work/pkgconfig-consumer"
