// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// A program outside the library's tree, built against an installed copy.
#include "nivoravexbususbversion.h"
#include "adapter/nivoravexbususbadapter.h"
#include "devicewatcher/nivoravexbususbdevicewatcher.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    NivoraVexbusUsb::NivoraVexbusUsbDeviceWatcher watcher;
    QTextStream(stdout) << "nivora-vexbususb " << NIVORAVEXBUSUSB_VERSION_STRING << ", "
                        << watcher.deviceInfos().count() << " adapter(s)" << Qt::endl;
    return 0;
}
