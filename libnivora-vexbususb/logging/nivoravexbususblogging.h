// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef NIVORAVEXBUSUSBLOGGING_H
#define NIVORAVEXBUSUSBLOGGING_H

#include "nivoravexbususb_export.h"

#include <QLoggingCategory>

namespace NivoraVexbusUsb {

/**
 * @file
 * @brief The library's logging categories.
 *
 * All categories are enabled at every level; applications turn them down
 * with QT_LOGGING_RULES or QLoggingCategory::setFilterRules(), for example
 * "VexbusUsb*.debug=false".
 */

/// Category "VexbusUsb": the adapter object.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsb();
/// Category "VexbusUsbTraffic": the adapter's handling of responses and notifications.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbTraffic();
/// Category "VexbusUsbInterface": the serial interface and the packet parser.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterface();
/// Category "VexbusUsbInterfaceVexbus": received bus-data notifications.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterfaceVexbus();
/// Category "VexbusUsbInterfaceTraffic": bytes on the serial line and framing errors.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterfaceTraffic();
/// Category "VexbusUsbDeviceWatcher": the udev device watcher.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbDeviceWatcher();
/// Category "VexbusUsbBootloader": firmware image, bootloader handler and release service.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbBootloader();
/// Category "VexbusUsbBootloaderTraffic": bytes of the bootloader protocol.
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbBootloaderTraffic();

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBLOGGING_H
