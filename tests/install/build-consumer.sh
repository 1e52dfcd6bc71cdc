#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Builds and runs the consumer program against an installed library, once
# through the CMake package and once through pkg-config, as an application
# outside the tree would.
# Usage: build-consumer.sh PREFIX LIBDIR CONSUMER-SOURCE-DIR CMAKE CXX VERSION QT-MAJOR
#                          PKG-CONFIG-NAME WORK-DIR
set -eu
prefix=$1
libdir=$2
consumer_dir=$3
cmake=$4
cxx=$5
version=$6
qt_major=$7
name=$8
work=$9

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

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
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DQT_MAJOR_VERSION="$qt_major" >/dev/null
"$cmake" --build "$work/cmake-build" >/dev/null
check_output "$work/cmake-build/nivora-consumer"

echo "== pkg-config"
PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
export PKG_CONFIG_PATH
pkg-config --exists "$name" || fail "pkg-config does not find $name"
[ "$(pkg-config --modversion "$name")" = "$version" ] || fail "pkg-config reports another version"
# Qt is built position-independent and requires -fPIC from its users.
# shellcheck disable=SC2046
"$cxx" -std=c++17 -fPIC -o "$work/pkgconfig-consumer" "$consumer_dir/main.cpp" \
    $(pkg-config --cflags --libs "$name") ${LDFLAGS:-} \
    -Wl,-rpath,"$(pkg-config --variable=libdir "$name")"
check_output "$work/pkgconfig-consumer"
