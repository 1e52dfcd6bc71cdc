// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "logging/nivoravexbususblogging.h"

namespace NivoraVexbusUsb {

Q_LOGGING_CATEGORY(dcVexbusUsb, "VexbusUsb")
Q_LOGGING_CATEGORY(dcVexbusUsbTraffic, "VexbusUsbTraffic")
Q_LOGGING_CATEGORY(dcVexbusUsbInterface, "VexbusUsbInterface")
Q_LOGGING_CATEGORY(dcVexbusUsbInterfaceVexbus, "VexbusUsbInterfaceVexbus")
Q_LOGGING_CATEGORY(dcVexbusUsbInterfaceTraffic, "VexbusUsbInterfaceTraffic")
Q_LOGGING_CATEGORY(dcVexbusUsbDeviceWatcher, "VexbusUsbDeviceWatcher")
Q_LOGGING_CATEGORY(dcVexbusUsbBootloader, "VexbusUsbBootloader")
Q_LOGGING_CATEGORY(dcVexbusUsbBootloaderTraffic, "VexbusUsbBootloaderTraffic")

} // namespace NivoraVexbusUsb
