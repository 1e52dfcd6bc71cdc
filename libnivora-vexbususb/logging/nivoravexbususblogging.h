#ifndef NIVORAVEXBUSUSBLOGGING_H
#define NIVORAVEXBUSUSBLOGGING_H

#include "nivoravexbususb_export.h"

#include <QLoggingCategory>

namespace NivoraVexbusUsb {

// All categories are enabled at every level; applications turn them down
// with QT_LOGGING_RULES or QLoggingCategory::setFilterRules().
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsb();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbTraffic();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterface();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterfaceVexbus();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbInterfaceTraffic();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbDeviceWatcher();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbBootloader();
NIVORAVEXBUSUSB_EXPORT const QLoggingCategory &dcVexbusUsbBootloaderTraffic();

} // namespace NivoraVexbusUsb

#endif // NIVORAVEXBUSUSBLOGGING_H
