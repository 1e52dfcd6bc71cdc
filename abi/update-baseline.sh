#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Takes the ABI baseline from a build of the library on purpose: the ABI
# dump abi/<soname>.abi, the commit whose headers it describes
# (abi/baseline-commit) and, for the Qt 5 flavour that the Debian packages
# carry, debian/libnivora-vexbususb1.symbols, where a symbol keeps the
# version that brought it and a new one gets VERSION. Run it through
# `make abi-baseline` on a committed change, and commit its result on its own.
# Usage: update-baseline.sh LIBRARY PUBLIC-HEADERS-DIR SOURCE-DIR VERSION
set -eu
library=$1
headers=$2
source_dir=$3
version=$4

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
[ -n "$soname" ] || fail "$library has no soname"

# The baseline describes the headers of one commit, which the check of an
# application built against them builds from.
git -C "$source_dir" rev-parse --verify -q HEAD >/dev/null || fail "$source_dir has no git history"
git -C "$source_dir" diff --quiet HEAD -- libnivora-vexbususb \
    || fail "the library has changes that are not committed: commit them first, then take the baseline"
commit=$(git -C "$source_dir" rev-parse HEAD)

abidw --drop-private-types --no-show-locs --no-comp-dir-path --no-corpus-path --type-id-style hash \
    --headers-dir "$headers" --out-file "$source_dir/abi/$soname.abi" "$library"
echo "$commit" >"$source_dir/abi/baseline-commit"
echo "abi/$soname.abi: the ABI of $library, with the headers of $commit"

if [ "$soname" = libnivora-vexbususb.so.1 ]; then
    symbols=$source_dir/debian/libnivora-vexbususb1.symbols
    previous=$(mktemp)
    trap 'rm -f "$previous"' EXIT
    [ -f "$symbols" ] && cp "$symbols" "$previous"
    {
        # Split so that licence scanners read these as the output's lines,
        # not as this script's own licence.
        printf '# SPDX-%s: %s\n' FileCopyrightText "2026 Nivora" License-Identifier LGPL-2.1-or-later
        echo "# Written by abi/update-baseline.sh (make abi-baseline); see doc/compatibility.md."
        echo "libnivora-vexbususb.so.1 libnivora-vexbususb1 #MINVER#"
        nm -DC --defined-only "$library" | cut -d' ' -f3- | LC_ALL=C sort -u | while IFS= read -r name; do
            line=$(grep -F " (c++)\"$name@Base\" " "$previous" || true)
            if [ -n "$line" ]; then
                echo "$line"
            else
                echo " (c++)\"$name@Base\" $version"
            fi
        done
    } >"$symbols.new"
    mv "$symbols.new" "$symbols"
    echo "debian/libnivora-vexbususb1.symbols: $(grep -c '(c++)' "$symbols") symbols"
fi
