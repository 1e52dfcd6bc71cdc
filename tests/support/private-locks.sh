#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Runs a test program with a serial-port lock directory of its own.
#
# QSerialPort locks a port with a file named after the device in the
# system's lock directory (/var/lock). Every test run mocks the same device
# names (ttyUSB0, ...), so two suites on one machine would find each other's
# locks and fail to open their own mocked ports. In a private mount
# namespace a fresh tmpfs over the lock directory keeps each run's locks to
# itself, while the processes of one run still see each other's locks.
#
# Making a mount namespace needs root. Elsewhere the test runs as it is, and
# two suites on one machine must not run at the same time.
set -e
if [ "$(id -u)" != 0 ] || [ -n "$NIVORA_PRIVATE_LOCKS" ]; then
    exec "$@"
fi
lockdir=$(readlink -f /var/lock)
export NIVORA_PRIVATE_LOCKS="$lockdir"
exec unshare --mount --propagation private sh -c \
    'mount -t tmpfs -o mode=1777 nivora-test-locks "$NIVORA_PRIVATE_LOCKS" && exec "$@"' sh "$@"
