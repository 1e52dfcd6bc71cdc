// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The panel in a window: the adapters of vexbusd (system or session bus),
// or with --port one adapter driven in this process.
import QtQuick 2.15
import QtQuick.Window 2.15
import Nivora.Vexbus 1.0

Window {
    width: 800
    height: 480
    visible: true
    title: qsTr("Vexbus gateway")

    ServiceAdapterModel {
        id: serviceAdapters
        bus: panelOptions.sessionBus ? ServiceAdapterModel.SessionBus : ServiceAdapterModel.SystemBus
    }

    UsbAdapter {
        id: localAdapter
        active: panelOptions.port !== ""
        portName: panelOptions.port
    }

    ListModel { id: localAdapters }
    Component.onCompleted: {
        if (panelOptions.port !== "")
            localAdapters.append({ adapter: localAdapter })
    }

    Panel {
        anchors.fill: parent
        adapters: panelOptions.port !== "" ? localAdapters : serviceAdapters
    }
}
