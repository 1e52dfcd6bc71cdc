#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs the adapter's udev rule with "udevadm test" on mocked USB serial
# devices (umockdev) and checks, for each device, whether ModemManager is told
# to ignore it, which link the rule makes and whether plugging it in starts
# vexbusd.
#
# udevadm reads its rules from fixed directories and writes its database and
# links under /run/udev and /dev, so everything runs in a private mount
# namespace in which these directories are empty tmpfs mounts that hold the
# rule under test alone. Without root and the right to make such a namespace
# the test is skipped.
# Usage: udev-rule-test.sh RULE-FILE
set -eu
rule=$(readlink -f "$1")

skip() {
    echo "SKIP: $*"
    exit 77
}

if [ "${NIVORA_UDEV_TEST_IN_NAMESPACE:-}" != 1 ]; then
    command -v udevadm >/dev/null || skip "udevadm is not installed (Debian package udev)"
    command -v umockdev-run >/dev/null || skip "umockdev-run is not installed"
    [ "$(id -u)" = 0 ] || skip "making device nodes in a private /dev needs root"
    unshare --mount true 2>/dev/null || skip "cannot make a private mount namespace here"
    work=$(mktemp -d "${TMPDIR:-/tmp}/nivora-udev-test.XXXXXX")
    # The work folder is removed out here, once the namespace and with it
    # every mount in the folder is gone; --one-file-system in case one stays.
    trap 'rm -rf --one-file-system "$work"' EXIT
    status=0
    NIVORA_UDEV_TEST_IN_NAMESPACE=1 unshare --mount --propagation private sh "$0" "$rule" "$work" || status=$?
    exit "$status"
fi
work=$2

# A fresh /dev on a tmpfs of its own, with the few nodes that udevadm and
# umockdev use made anew: no bind of the real /dev anywhere, so that nothing
# done here reaches the machine's device nodes.
mkdir "$work/dev"
mount -t tmpfs -o mode=755 tmpfs "$work/dev"
mknod -m 666 "$work/dev/null" c 1 3
mknod -m 666 "$work/dev/zero" c 1 5
mknod -m 666 "$work/dev/urandom" c 1 9
mknod -m 666 "$work/dev/random" c 1 8
mknod -m 666 "$work/dev/tty" c 5 0
mkdir "$work/dev/pts"
mount -t devpts -o newinstance,ptmxmode=666 devpts "$work/dev/pts"
ln -s pts/ptmx "$work/dev/ptmx"
mount --move "$work/dev" /dev
mount -t tmpfs tmpfs /run
for dir in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d /usr/local/lib/udev/rules.d; do
    if [ -d "$dir" ]; then mount -t tmpfs tmpfs "$dir"; fi
done
cp "$rule" /etc/udev/rules.d/

failures=0
syspath=/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0

# check NAME VENDOR PRODUCT SERIAL EXPECTED-MM-IGNORE EXPECTED-LINKS
# (an adapter, given EXPECTED-MM-IGNORE, also wants vexbusd.service)
check() {
    description=$work/device.umockdev
    {
        echo "P: /devices/pci0000:00/0000:00:14.0/usb1/1-2"
        echo "E: SUBSYSTEM=usb"
        echo "E: DEVTYPE=usb_device"
        echo "A: idVendor=$2"
        echo "A: idProduct=$3"
        [ -n "$4" ] && echo "A: serial=$4"
        echo "A: manufacturer=Nivora"
        echo "A: product=Vexbus USB"
        echo
        echo "P: /devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0"
        echo "E: SUBSYSTEM=usb"
        echo "E: DEVTYPE=usb_interface"
        echo "A: bInterfaceClass=ff"
        echo "A: bInterfaceNumber=00"
        echo
        echo "P: ${syspath#/sys}"
        echo "N: ttyUSB0"
        echo "E: SUBSYSTEM=tty"
        echo "E: DEVNAME=/dev/ttyUSB0"
        echo "E: MAJOR=188"
        echo "E: MINOR=0"
        echo "A: dev=188:0"
    } >"$description"
    output=$(umockdev-run -d "$description" -- udevadm test --action=add "$syspath" 2>"$work/udevadm.log") || {
        echo "FAIL: $1: udevadm test failed"
        failures=$((failures + 1))
        return
    }
    ignore=$(echo "$output" | sed -n 's/^ID_MM_DEVICE_IGNORE=//p')
    links=$(echo "$output" | sed -n 's/^DEVLINKS=//p' | tr ' ' '\n' | grep -v '^/dev/char/' | tr '\n' ' ' | sed 's/ $//')
    wants=$(echo "$output" | sed -n 's/^SYSTEMD_WANTS=//p')
    # The tag counts for an adapter; udevadm may list it for other ttys from elsewhere.
    tagged=$(echo "$output" | sed -n 's/^TAGS=.*:systemd:.*/yes/p')
    expected_wants=${5:+vexbusd.service}
    if [ "$ignore" = "$5" ] && [ "$links" = "$6" ] && [ "$wants" = "$expected_wants" ] && { [ -z "$5" ] || [ "$tagged" = yes ]; }; then
        echo "PASS: $1"
    else
        echo "FAIL: $1: ID_MM_DEVICE_IGNORE \"$ignore\", links \"$links\", SYSTEMD_WANTS \"$wants\", systemd tag \"$tagged\"; expected \"$5\", \"$6\", \"$expected_wants\""
        sed -n '/^Reading rules file/,/^Unload/p' "$work/udevadm.log"
        failures=$((failures + 1))
    fi
}

check "FTDI adapter" 0403 6001 A5XK1234 1 /dev/vexbus/by-serial/A5XK1234
check "Cypress adapter" 04b4 f139 C0FFEE01 1 /dev/vexbus/by-serial/C0FFEE01
check "blank in the serial number" 0403 6001 "A5XK 0042" 1 /dev/vexbus/by-serial/A5XK_0042
check "serial number that tries to leave the folder" 0403 6001 "../../x" 1 /dev/vexbus/by-serial/.._.._x
check "adapter without serial number" 0403 6001 "" 1 ""
check "other FTDI product" 0403 6015 A5XK1234 "" ""
check "Cypress vendor with the FTDI product" 04b4 6001 A5XK1234 "" ""
check "FTDI vendor with the Cypress product" 0403 f139 A5XK1234 "" ""

[ "$failures" = 0 ] || exit 1
