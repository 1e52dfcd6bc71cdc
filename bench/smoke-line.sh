#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs the link benchmarks once, briefly, against vexbus-emulator.
# Usage: smoke-line.sh VEXBUS-EMULATOR NIVORA-BENCH-LINE VEXBUSCTL NIVORA-BENCH-BAREQT
#                      [NIVORA-BENCH-MODBUS NIVORA-BENCH-MODBUS-RESPONDER]
set -eu
emulator=$1
bench=$2
vexbusctl=$3
bareqt=$4
modbus=${5:-}
responder=${6:-}
dir=$(mktemp -d)
pids=
trap 'kill $pids 2>/dev/null || true; rm -rf "$dir"' EXIT
ports=
for line in 1 2 3 4; do
    "$emulator" --quiet --line-pacing --bus-traffic 200 > "$dir/tty$line" &
    pids="$pids $!"
done
for line in 1 2 3 4; do
    while [ ! -s "$dir/tty$line" ]; do sleep 0.05; done
    ports="$ports $(head -n 1 "$dir/tty$line")"
done
# shellcheck disable=SC2086
set -- $ports
"$bench" request "$1" 3
"$bench" count-request "$1" 2
"$bench" count-plain-request "$1" 2
"$bench" emulator "$1" "$1" 2
"$bench" read-plain "$1" 3
"$bench" read-adapter "$1" 3
"$bareqt" count-request "$1" 2
"$bareqt" count-request-stock "$1" 2
"$bareqt" read "$1" 3
"$bench" receive 1 1 "$vexbusctl" "$bareqt" "$1" "$2" "$3" "$4"
if [ -n "$modbus" ]; then
    "$responder" > "$dir/modbus" &
    pids="$pids $!"
    while [ ! -s "$dir/modbus" ]; do sleep 0.05; done
    "$modbus" count-request "$(head -n 1 "$dir/modbus")" 3
fi
