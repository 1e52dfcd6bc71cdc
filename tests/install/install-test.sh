#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Installs the build into a temporary prefix and builds and runs a small
# program against it, once through the CMake package and once through
# pkg-config, as an application outside the tree would. Given the build of
# the other Qt flavour, it also checks that the two install side by side.
# Usage: install-test.sh BUILD-DIR CONSUMER-SOURCE-DIR CMAKE CXX VERSION LIBDIR
#                        QT-MAJOR FLAVOUR-SUFFIX [OTHER-FLAVOUR-BUILD-DIR]
set -eu
build_dir=$1
consumer_dir=$2
cmake=$3
cxx=$4
version=$5
libdir_name=$6
qt_major=$7
suffix=$8
other_build_dir=${9:-}
name=nivora-vexbususb$suffix

work=$(mktemp -d "${TMPDIR:-/tmp}/nivora-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cmake" --install "$build_dir" --prefix "$prefix" >/dev/null

# The library of each Qt flavour (Runtime and Development) shares no file
# with the other's. Tools, man pages and the udev rule are one set for both.
if [ -n "$other_build_dir" ] && [ -f "$other_build_dir/cmake_install.cmake" ]; then
    list_library_files() { # BUILD-DIR ROOT
        for component in Runtime Development; do
            "$cmake" --install "$1" --prefix "$2" --component "$component" >/dev/null
        done
        (cd "$2" && find . ! -type d | sort)
    }
    list_library_files "$build_dir" "$work/own" >"$work/own.files"
    list_library_files "$other_build_dir" "$work/other" >"$work/other.files"
    clashes=$(comm -12 "$work/own.files" "$work/other.files")
    [ -z "$clashes" ] || fail "both Qt flavours install: $clashes"
    echo "== no file in common with the other Qt flavour's library"
fi

# The library with its SONAME links, and the headers under their subfolders.
libdir=$prefix/$libdir_name
[ -L "$libdir/lib$name.so" ] || fail "no lib$name.so link in $libdir"
[ -L "$libdir/lib$name.so.1" ] || fail "no lib$name.so.1 link in $libdir"
[ -f "$libdir/lib$name.so.$version" ] || fail "no lib$name.so.$version in $libdir"
for header in nivoravexbususbversion.h nivoravexbususb_export.h link/nivoravexbususbpacket.h \
              link/nivoravexbususbclient.h link/nivoravexbususbutils.h adapter/nivoravexbususbutils.h \
              devicewatcher/nivoravexbususbdevicewatcher.h logging/nivoravexbususblogging.h; do
    [ -f "$prefix/include/$name/$header" ] || fail "header $header is not installed"
done

sh "$(dirname "$0")/build-consumer.sh" "$prefix" "$libdir" "$consumer_dir" "$cmake" "$cxx" "$version" "$qt_major" "$name" "$work"
