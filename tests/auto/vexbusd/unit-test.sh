#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later
#
# systemd-analyze verify on vexbusd.service, with ExecStart pointing at the
# program just built (verify checks that it exists) and nothing else changed.
# Usage: unit-test.sh SYSTEMD-ANALYZE UNIT-FILE VEXBUSD
set -eu
work=$(mktemp -d "${TMPDIR:-/tmp}/vexbusd-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT
sed "s|^ExecStart=.*|ExecStart=$3|" "$2" >"$work/vexbusd.service"
if ! "$1" verify --man=no "$work/vexbusd.service" >"$work/log" 2>&1; then
    cat "$work/log"
    exit 1
fi
# verify passes with warnings: any line about the unit is a fault.
if grep "vexbusd.service" "$work/log"; then
    exit 1
fi
echo "PASS: systemd-analyze verify"
