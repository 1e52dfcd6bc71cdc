#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# The emulated adapter of make demo, shared by vexbusd on the session bus,
# for the panel example (vexbus-panel --session) on a machine without an
# adapter. vexbusd finds adapters through udev: it runs on a mocked udev
# (umockdev) that lists the demo's FTDI adapter, whose device node is the
# emulator's terminal. Ends both on Ctrl-C.
# Usage: serve-emulator.sh PREFIX (where vexbus-emulator and vexbusd are installed)
set -eu
prefix=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)

work=$(mktemp -d "${TMPDIR:-/tmp}/vexbus-panel.XXXXXX")
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

# As make demo runs it: four bus frames a second, a line paced like a real
# one, and 1.5.0 after an update (tools/demo/vexbus-adapter-1.5.0.cyacd).
"$prefix/bin/vexbus-emulator" --link "$work/vexbus0" --bus-traffic 4 --line-pacing --version-after-update 1.5.0 \
    --quiet >"$work/emulator.out" 2>&1 &
emulator_pid=$!
tries=0
while [ ! -e "$work/vexbus0" ]; do
    tries=$((tries + 1))
    if [ "$tries" -gt 50 ] || ! kill -0 "$emulator_pid" 2>/dev/null; then
        echo "vexbus-emulator did not start:" >&2
        cat "$work/emulator.out" >&2
        exit 1
    fi
    sleep 0.1
done

# Settings of its own: none of the system's.
: >"$work/vexbusd.conf"
VEXBUS_TTY=$(readlink -f "$work/vexbus0")
VEXBUSD=$(ls "$prefix"/sbin/vexbusd "$prefix"/bin/vexbusd 2>/dev/null | head -n 1)
export VEXBUS_TTY VEXBUSD VEXBUS_SETTINGS="$work/vexbusd.conf"
echo "The emulated adapter DEMO0001 on $VEXBUS_TTY; vexbusd serves it on the session bus. Ctrl-C ends both."
umockdev-run --device "$root/tools/demo/mocked-adapter.umockdev" -- \
    sh -c 'ln -sf "$VEXBUS_TTY" "$UMOCKDEV_DIR/dev/ttyUSB0" && exec "$VEXBUSD" --session --config "$VEXBUS_SETTINGS"'
