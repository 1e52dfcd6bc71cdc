#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Configures a copy of the tree and puts one include into a folder of the
# library at a time: an include of a folder that the folder may not use must
# fail to compile, one of a folder it may use must not. Only the one source
# file is run through the preprocessor, which is where a layer's include
# directories tell.
# Usage: layers-test.sh SOURCE-DIR WORK-DIR CMAKE CXX QT-MAJOR
set -eu
source_dir=$1
work=$2
cmake=$3
cxx=$4
qt_major=$5

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work/tree"
tar -C "$source_dir" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/tree" -xf -
"$cmake" -S "$work/tree" -B "$work/build" -G "Unix Makefiles" -DCMAKE_CXX_COMPILER="$cxx" \
    -DQT_MAJOR_VERSION="$qt_major" -DNIVORA_BUILD_TESTS=OFF -DNIVORA_BUILD_TOOLS=OFF >/dev/null

# FOLDER/SOURCE INCLUDED-HEADER EXPECTATION
check() {
    source=$1
    header=$2
    expected=$3
    cp "$source_dir/libnivora-vexbususb/$source" "$work/tree/libnivora-vexbususb/$source"
    sed -i "0,/^#include \"/s||#include \"$header\"\n#include \"|" "$work/tree/libnivora-vexbususb/$source"
    grep -q "^#include \"$header\"" "$work/tree/libnivora-vexbususb/$source" || fail "no include put into $source"
    if make -C "$work/build/libnivora-vexbususb" "${source%.cpp}.cpp.i" >"$work/output" 2>&1; then
        [ "$expected" = compiles ] || fail "$source compiles with an include of $header"
        echo "ok: $source may include $header"
    else
        grep -q "$header: No such file" "$work/output" || { cat "$work/output" >&2; fail "$source failed for another reason"; }
        [ "$expected" = fails ] || fail "$source does not compile with an include of $header"
        echo "ok: $source may not include $header"
    fi
    cp "$source_dir/libnivora-vexbususb/$source" "$work/tree/libnivora-vexbususb/$source"
}

check link/nivoravexbususbpacket.cpp adapter/nivoravexbususbadapter.h fails
check link/nivoravexbususbpacket.cpp bootloader/firmwaredata.h fails
check link/nivoravexbususbpacket.cpp devicewatcher/nivoravexbususbportlocation.h compiles
check bootloader/firmwaredatarow.cpp link/nivoravexbususbpacket.h fails
check bootloader/firmwaredatarow.cpp firmware/releasekey.h fails
check firmware/releasekey.cpp adapter/nivoravexbususbutils.h fails
check firmware/releasekey.cpp bootloader/firmwaredata.h compiles
check devicewatcher/nivoravexbususbportlocation.cpp link/nivoravexbususbutils.h fails
check logging/nivoravexbususblogging.cpp devicewatcher/nivoravexbususbdevicewatcher.h fails
check adapter/controllersession.cpp firmware/firmwaredownloader.h compiles
rm -rf "$work"
