#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Holds the system's lock on ttyUSB0 the way a suite running beside this one
# holds it while its test has the mocked port open, then runs a test that
# opens its own mocked ttyUSB0.
# Usage: held-port-lock.sh PRIVATE-LOCKS-SCRIPT COMMAND...
[ "$(id -u)" = 0 ] || { echo "needs root for a private mount namespace"; exit 77; }
wrapper=$1
shift
lock="$(readlink -f /var/lock)/LCK..ttyUSB0"
[ -e "$lock" ] && { echo "$lock exists: another run holds the port"; exit 77; }

sleep 300 &
holder=$!
trap 'kill $holder; rm -f "$lock"' EXIT
# QLockFile's format: process id, its program name, host name.
printf '%s\nsleep\n%s\n' "$holder" "$(hostname)" > "$lock"
sh "$wrapper" "$@"
