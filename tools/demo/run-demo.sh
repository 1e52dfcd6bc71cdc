#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# make demo: the whole system on an emulated adapter. Starts vexbus-emulator
# from the install prefix in the background and runs vexbusctl against it:
# status, bus frames, a button press, a frame written to the bus, a firmware
# update from the sample image, and the status with the new firmware.
# Usage: run-demo.sh PREFIX
set -eu
prefix=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
PATH=$prefix/bin:$PATH
export PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/vexbus-demo.XXXXXX")
emulator_pid=
cleanup() {
    if [ -n "$emulator_pid" ]; then
        kill "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

show() {
    printf '\n$ %s\n' "$*"
    "$@"
}

echo "== Adapters that udev finds on this machine"
show vexbusctl list
if command -v umockdev-run >/dev/null 2>&1; then
    echo
    echo "== The same on a mocked platform (umockdev: one FTDI adapter, no hardware)"
    show umockdev-run --device "$root/tools/demo/mocked-adapter.umockdev" -- vexbusctl list
fi

# The emulated adapter answers on a pseudo-terminal of its own, reached
# through a stable link; it sends four bus frames a second, paces its line
# like a real one and reports 1.5.0 after an update.
port=$work/vexbus0
vexbus-emulator --link "$port" --bus-traffic 4 --line-pacing --version-after-update 1.5.0 \
    --quiet >"$work/emulator.out" 2>&1 &
emulator_pid=$!
tries=0
while [ ! -e "$port" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ] || ! kill -0 "$emulator_pid" 2>/dev/null; then
        echo "vexbus-emulator did not start:" >&2
        cat "$work/emulator.out" >&2
        exit 1
    fi
    sleep 0.1
done

echo
echo "== The emulated adapter on $port"
show vexbusctl --port "$port" status
show vexbusctl --port "$port" monitor --count 5
show vexbusctl --port "$port" press ixo program --ms 500
show vexbusctl --port "$port" write 41 42 43 44 45
show vexbusctl --port "$port" update "$root/tools/demo/vexbus-adapter-1.5.0.cyacd"
show vexbusctl --port "$port" --json status
echo
echo "== Done: the emulated controller now runs firmware 1.5.0"
