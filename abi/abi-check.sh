#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Compares a build of the library (or an ABI dump of one) with the ABI
# baseline. A function or variable that is gone or changed, or a type of
# the public headers that changed in size or layout, fails the check with
# abidiff's report, which names it; additions pass.
# Usage: abi-check.sh BASELINE LIBRARY-OR-DUMP [PUBLIC-HEADERS-DIR]
set -u
baseline=$1
current=$2
headers=${3:-}

if [ -n "$headers" ]; then
    set -- --headers-dir2 "$headers"
else
    set --
fi
report=$(abidiff --drop-private-types --no-show-locs "$@" "$baseline" "$current")
status=$?
echo "$report"

# abidiff's status is a bit field: 1 an error, 2 a usage error, 4 some ABI
# change, 8 a change it knows to be incompatible.
if [ $((status & 3)) -ne 0 ]; then
    echo "FAIL: abidiff could not compare $current with $baseline (status $status)" >&2
    exit 1
fi
if [ $((status & 8)) -ne 0 ]; then
    echo "FAIL: $current breaks the ABI of $baseline (see above)" >&2
    exit 1
fi
# A change abidiff does not call incompatible by itself, such as a class
# that grew, shows as a changed function or variable; only additions keep
# the promise.
if echo "$report" | grep -Eq '(^|[ ,:])[1-9][0-9]* (Removed|Changed)'; then
    echo "FAIL: $current removes or changes what $baseline offers (see above)" >&2
    exit 1
fi
echo "ok: $current keeps the ABI of $baseline"
