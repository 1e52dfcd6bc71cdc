#!/bin/sh
# SPDX-FileCopyrightText: 2026 Nivora
# SPDX-License-Identifier: LGPL-2.1-or-later

# Checks the built Debian packages: each file is in the package it belongs
# to and each package has the files it must have; the dependencies come from
# the libraries that the binaries link; and a consumer program builds and runs
# against the packages unpacked into a temporary root, through the CMake
# package and through pkg-config.
# Usage: deb-test.sh DEB-DIR CONSUMER-SOURCE-DIR
set -eu
deb_dir=$1
consumer_dir=$(readlink -f "$2")
version=$(dpkg-parsechangelog -l "$deb_dir/src/debian/changelog" -S Version)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

work=$(mktemp -d "${TMPDIR:-/tmp}/nivora-deb-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root

# The files of each package, as shell patterns; every package also has its
# folder in /usr/share/doc.
lib="usr/lib/$multiarch"
files_libnivora_vexbususb1="
$lib/libnivora-vexbususb.so.1
$lib/libnivora-vexbususb.so.$version
lib/udev/rules.d/60-nivora-vexbususb.rules"
files_libnivora_vexbususb_dev="
$lib/libnivora-vexbususb.so
$lib/pkgconfig/nivora-vexbususb.pc
$lib/cmake/NivoraVexbusUsb/NivoraVexbusUsbConfig.cmake
$lib/cmake/NivoraVexbusUsb/NivoraVexbusUsbConfigVersion.cmake
$lib/cmake/NivoraVexbusUsb/NivoraVexbusUsbTargets*.cmake
usr/include/nivora-vexbususb/nivoravexbususbversion.h
usr/include/nivora-vexbususb/nivoravexbususb_export.h
usr/include/nivora-vexbususb/*/*.h"
files_vexbus_tools="
usr/bin/vexbusctl
usr/bin/vexbus-emulator
usr/bin/vexbus-release
usr/share/man/man1/vexbusctl.1.gz
usr/share/man/man1/vexbus-emulator.1.gz
usr/share/man/man1/vexbus-release.1.gz
usr/share/bash-completion/completions/vexbusctl
usr/share/nivora-vexbususb/keys/README"
files_vexbusd="
usr/sbin/vexbusd
usr/share/man/man8/vexbusd.8.gz
usr/share/dbus-1/system.d/org.nivora.Vexbus1.conf
usr/share/dbus-1/interfaces/org.nivora.Vexbus1.Adapter.xml
lib/systemd/system/vexbusd.service
usr/lib/sysusers.d/vexbusd.conf
etc/vexbus/vexbusd.conf"
files_qml_module_nivora_vexbus="
$lib/qt5/qml/Nivora/Vexbus/qmldir
$lib/qt5/qml/Nivora/Vexbus/plugins.qmltypes
$lib/qt5/qml/Nivora/Vexbus/libnivoravexbusplugin.so"
# Libraries the dependencies must name, as dh_shlibdeps finds them.
needs_libnivora_vexbususb1="libqt5core5a libqt5serialport5 libqt5network5 libudev1 libssl3 libstdc++6"
needs_libnivora_vexbususb_dev="libnivora-vexbususb1 qtbase5-dev libqt5serialport5-dev"
needs_vexbus_tools="libnivora-vexbususb1 libqt5core5a libqt5dbus5"
needs_vexbusd="libnivora-vexbususb1 libqt5core5a libqt5dbus5"
needs_qml_module_nivora_vexbus="libnivora-vexbususb1 libqt5qml5 libqt5dbus5"

for package in libnivora-vexbususb1 libnivora-vexbususb-dev vexbus-tools vexbusd qml-module-nivora-vexbus; do
    var=$(echo "$package" | tr '-' '_')
    deb=$(ls "$deb_dir/${package}_${version}_"*.deb 2>/dev/null | head -n 1)
    if [ -z "$deb" ]; then
        fail "no package $package in $deb_dir"
        continue
    fi
    dpkg-deb -x "$deb" "$root"
    eval "patterns=\$files_$var"
    # Every file (or link) of the package fits one of its patterns...
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' >"$work/$package.files"
    while read -r file; do
        case $file in usr/share/doc/$package/*) continue ;; esac
        matched=
        for pattern in $patterns; do
            # shellcheck disable=SC2254
            case $file in $pattern) matched=1 ;; esac
        done
        [ -n "$matched" ] || fail "$package holds $file, which belongs to another package or to none"
    done <"$work/$package.files"
    # ... and every pattern matches a file of the package.
    for pattern in $patterns usr/share/doc/$package/copyright; do
        found=
        while read -r file; do
            # shellcheck disable=SC2254
            case $file in $pattern) found=1 ;; esac
        done <"$work/$package.files"
        [ -n "$found" ] || fail "$package lacks $pattern"
    done
    depends=$(dpkg-deb -f "$deb" Depends)
    eval "needs=\$needs_$var"
    for need in $needs; do
        echo "$depends" | tr ',' '\n' | grep -q "^ *$need\( \|$\)" || fail "$package does not depend on $need: $depends"
    done
    echo "== $package: $(wc -l <"$work/$package.files") files; Depends: $depends"
done
dpkg-deb -f "$deb_dir/libnivora-vexbususb-dev_${version}_"*.deb Depends | grep -q "libnivora-vexbususb1 (= $version)" ||
    fail "libnivora-vexbususb-dev does not depend on exactly its library's version"

# The tools run from the unpacked root.
LD_LIBRARY_PATH=$root/$lib "$root/usr/bin/vexbusctl" --version | grep -q "$version" || fail "vexbusctl --version"
LD_LIBRARY_PATH=$root/$lib "$root/usr/sbin/vexbusd" --version | grep -q "$version" || fail "vexbusd --version"
# The QML module loads from the unpacked root and offers its types.
LD_LIBRARY_PATH=$root/$lib QT_QPA_PLATFORM=offscreen /usr/lib/qt5/bin/qmlplugindump -nonrelocatable -noforceqtquick \
    Nivora.Vexbus 1.0 "$root/$lib/qt5/qml" 2>/dev/null | grep -q '"Nivora.Vexbus/ServiceAdapterModel 1.0"' ||
    fail "the QML module Nivora.Vexbus does not load from the package"
# The service's unit starts the program the package installs, as the user the package makes.
grep -q "^ExecStart=/usr/sbin/vexbusd$" "$root/lib/systemd/system/vexbusd.service" || fail "vexbusd.service does not start /usr/sbin/vexbusd"
grep -q "^u vexbus " "$root/usr/lib/sysusers.d/vexbusd.conf" || fail "the sysusers file does not make the user vexbus"
dpkg-deb -I "$deb_dir/vexbusd_${version}_"*.deb postinst | grep -q "systemd-sysusers" || fail "vexbusd's postinst does not make its user"

sh "$(dirname "$0")/../install/build-consumer.sh" "$root/usr" "$root/$lib" "$consumer_dir" cmake c++ \
    "$version" 5 nivora-vexbususb "$work" || fail "the consumer does not build or run against the packages"

[ "$failures" = 0 ] || exit 1
echo "PASS: the packages hold their files, depend on their libraries and build a consumer"
