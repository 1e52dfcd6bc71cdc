#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Builds abi/consumer against the public headers of the commit the ABI
# baseline was taken from (abi/baseline-commit), taken from the history with
# git archive, links it to the library built now and runs it. Without that
# history (a tarball, the package build, a shallow clone) the test is
# skipped and says so.
# Usage: old-headers-test.sh SOURCE-DIR LIBRARY GENERATED-HEADERS-DIR CMAKE CXX QT-MAJOR WORK-DIR
set -eu
source_dir=$1
library=$2
generated=$3
cmake=$4
cxx=$5
qt_major=$6
work=$7

commit=$(cat "$source_dir/abi/baseline-commit")
if ! git -C "$source_dir" cat-file -e "$commit^{commit}" 2>/dev/null; then
    echo "SKIP: the history holds no commit $commit, the release of the ABI baseline; nothing to build against"
    exit 77
fi

rm -rf "$work"
mkdir -p "$work/release"
git -C "$source_dir" archive "$commit" libnivora-vexbususb | tar -x -C "$work/release"
echo "== headers of $commit"
"$cmake" -S "$source_dir/abi/consumer" -B "$work/build" -DCMAKE_CXX_COMPILER="$cxx" -DQT_MAJOR_VERSION="$qt_major" \
    -DNIVORA_HEADERS="$work/release/libnivora-vexbususb" -DNIVORA_GENERATED_HEADERS="$generated" \
    -DNIVORA_LIBRARY="$library" >/dev/null
"$cmake" --build "$work/build" >/dev/null
"$work/build/nivora-abi-consumer"
rm -rf "$work"
