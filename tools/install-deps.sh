#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Installs the given Debian packages that are not installed yet.
# Usage: install-deps.sh SUDO-COMMAND-OR-EMPTY [--no-install-recommends] PACKAGE...
# --no-install-recommends leaves out what the packages only recommend (for
# the Qt development packages: GTK, systemd and their kin), which a build of
# the library and the tools does not use.
sudo_cmd=$1
shift
apt_options=""
if [ "${1:-}" = "--no-install-recommends" ]; then
    apt_options=$1
    shift
fi
missing=""
for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $pkg"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing missing packages:$missing"
$sudo_cmd apt-get update -qq || exit 1
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq $apt_options $missing || exit 1
