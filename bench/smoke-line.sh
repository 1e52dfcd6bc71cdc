#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs the link benchmarks once, briefly, against vexbus-emulator.
# Usage: smoke-line.sh VEXBUS-EMULATOR NIVORA-BENCH-LINE
set -eu
emulator=$1
bench=$2
dir=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
"$emulator" --quiet --line-pacing --bus-traffic 200 > "$dir/tty" &
pid=$!
while [ ! -s "$dir/tty" ]; do sleep 0.05; done
port=$(head -n 1 "$dir/tty")
"$bench" request "$port" 3
"$bench" count-request "$port" 2
"$bench" count-plain-request "$port" 2
"$bench" emulator "$port" "$port" 2
