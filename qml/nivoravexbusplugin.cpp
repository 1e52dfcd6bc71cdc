// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The QML module Nivora.Vexbus: the adapters of vexbusd as a list model,
// an adapter in the application's own process, and the library's
// enumerations under the library's class names.
#include "adapter.h"
#include "reply.h"
#include "serviceadapter.h"
#include "serviceadaptermodel.h"
#include "update.h"
#include "usbadapter.h"

#include <QQmlExtensionPlugin>
#include <qqml.h>

using namespace NivoraVexbusUsb;

class NivoraVexbusPlugin : public QQmlExtensionPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QQmlExtensionInterface_iid)

public:
    void registerTypes(const char *uri) override
    {
        const QString enumerationsOnly = QStringLiteral("holds the library's enumerations only");
        const QString fromAnAdapter = QStringLiteral("comes from an adapter");
        qmlRegisterUncreatableMetaObject(NivoraVexbusUsbUtils::staticMetaObject, uri, 1, 0, "NivoraVexbusUsbUtils", enumerationsOnly);
        qmlRegisterUncreatableMetaObject(FirmwareUpdate::staticMetaObject, uri, 1, 0, "FirmwareUpdate", enumerationsOnly);
        qmlRegisterUncreatableType<NivoraVexbusUsbAdapter>(uri, 1, 0, "NivoraVexbusUsbAdapter", enumerationsOnly);
        qmlRegisterUncreatableType<NivoraVexbusUsbReply>(uri, 1, 0, "NivoraVexbusUsbReply", enumerationsOnly);

        qmlRegisterUncreatableType<Adapter>(uri, 1, 0, "Adapter", QStringLiteral("is UsbAdapter or comes from ServiceAdapterModel"));
        qmlRegisterType<UsbAdapter>(uri, 1, 0, "UsbAdapter");
        qmlRegisterUncreatableType<ServiceAdapter>(uri, 1, 0, "ServiceAdapter", QStringLiteral("comes from ServiceAdapterModel"));
        qmlRegisterType<ServiceAdapterModel>(uri, 1, 0, "ServiceAdapterModel");
        qmlRegisterUncreatableType<Reply>(uri, 1, 0, "Reply", fromAnAdapter);
        qmlRegisterUncreatableType<Update>(uri, 1, 0, "Update", fromAnAdapter);
    }
};

#include "nivoravexbusplugin.moc"
