// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The gateway's panel: its adapters with state, firmware and bus flags on
// the left; the chosen adapter's last bus frames, module buttons, firmware
// update and lease on the right. adapters is any model with the role
// adapter (a ServiceAdapterModel, or a ListModel of UsbAdapter objects).
import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15
import Nivora.Vexbus 1.0

Rectangle {
    id: panel

    property var adapters
    // How many bus frames the list keeps.
    property int frameLimit: 8
    readonly property var adapter: adapterList.currentItem ? adapterList.currentItem.adapter : null
    // The update started from this panel, and what the last command said.
    property var update: null
    property string commandOutcome: ""

    width: 800
    height: 480
    color: "#eef0f3"

    function stateText(adapter) {
        if (!adapter)
            return ""
        if (adapter.controllerInBootloader)
            return qsTr("Controller in its bootloader")
        switch (adapter.state) {
        case NivoraVexbusUsbAdapter.StateConnecting: return qsTr("Connecting")
        case NivoraVexbusUsbAdapter.StateConnected: return qsTr("Connected")
        case NivoraVexbusUsbAdapter.StateConnectingBootloader: return qsTr("Starting the bootloader")
        case NivoraVexbusUsbAdapter.StateConnectedBootloader: return qsTr("Updating in the bootloader")
        }
        return qsTr("Not connected")
    }

    function phaseText(phase) {
        switch (phase) {
        case FirmwareUpdate.PhasePreparing: return qsTr("Checking the image")
        case FirmwareUpdate.PhaseStartingBootloader: return qsTr("Starting the bootloader")
        case FirmwareUpdate.PhaseWaitingForBootloader: return qsTr("Waiting for the bootloader")
        case FirmwareUpdate.PhaseCheckingChip: return qsTr("Checking the chip")
        case FirmwareUpdate.PhaseWriting: return qsTr("Writing")
        case FirmwareUpdate.PhaseVerifyingApplication: return qsTr("Verifying the firmware")
        case FirmwareUpdate.PhaseRestarting: return qsTr("Restarting the controller")
        case FirmwareUpdate.PhaseDone: return qsTr("The firmware was updated.")
        case FirmwareUpdate.PhaseFailed: return qsTr("The update failed.")
        }
        return ""
    }

    function hex(frame) {
        return Array.prototype.map.call(new Uint8Array(frame), function (b) {
            return (b < 16 ? "0" : "") + b.toString(16)
        }).join(" ")
    }

    function press(reply, what) {
        commandOutcome = qsTr("%1 …").arg(what)
        reply.finished.connect(function () {
            commandOutcome = reply.error === NivoraVexbusUsbReply.ErrorNoError ? qsTr("%1: done").arg(what)
                                                                               : reply.errorString
        })
    }

    function startUpdate(file) {
        update = adapter.updateFirmware(file)
    }

    onAdapterChanged: frames.clear()

    ListModel { id: frames }

    Connections {
        target: panel.adapter
        function onVexbusFrameReceived(vexbusFrame) {
            frames.insert(0, { text: panel.hex(vexbusFrame) })
            if (frames.count > panel.frameLimit)
                frames.remove(panel.frameLimit, frames.count - panel.frameLimit)
        }
    }

    // The adapters.
    Rectangle {
        id: adapterPane
        x: 8; y: 8; width: 300; height: parent.height - 16
        color: "white"
        border.color: "#c8ccd2"

        Text {
            id: adaptersTitle
            x: 12; y: 10
            text: qsTr("Adapters")
            font.pixelSize: 18; font.bold: true
        }

        ListView {
            id: adapterList
            objectName: "adapterList"
            x: 4; y: 40; width: parent.width - 8; height: parent.height - 44
            clip: true
            model: panel.adapters
            delegate: Rectangle {
                id: row
                readonly property var adapter: model.adapter
                width: adapterList.width
                height: 84
                color: ListView.isCurrentItem ? "#dde8f6" : "transparent"

                MouseArea { anchors.fill: parent; onClicked: adapterList.currentIndex = index }

                Column {
                    x: 10; y: 8; spacing: 4
                    Text {
                        text: row.adapter.serialPortSerialNumber !== "" ? row.adapter.serialPortSerialNumber
                                                                       : row.adapter.serialPortSystemLocation
                        font.pixelSize: 16; font.bold: true
                    }
                    Text {
                        objectName: "stateText"
                        text: panel.stateText(row.adapter)
                              + (row.adapter.firmwareVersion !== "" ? qsTr(" · firmware %1").arg(row.adapter.firmwareVersion) : "")
                        font.pixelSize: 14
                        color: row.adapter.controllerInBootloader ? "#b3261e" : "#1f2328"
                    }
                    Row {
                        spacing: 10
                        Repeater {
                            model: [
                                { label: qsTr("synchronized"), on: row.adapter.vexbusSynchronized },
                                { label: qsTr("initialized"), on: row.adapter.vexbusInitialized },
                                { label: qsTr("available"), on: row.adapter.vexbusAvailable }
                            ]
                            Row {
                                spacing: 4
                                Rectangle {
                                    width: 10; height: 10; radius: 5
                                    anchors.verticalCenter: parent.verticalCenter
                                    color: modelData.on ? "#2e7d32" : "#c8ccd2"
                                }
                                Text { text: modelData.label; font.pixelSize: 12; color: "#57606a" }
                            }
                        }
                    }
                }
            }
        }
    }

    // The chosen adapter.
    Item {
        id: detail
        x: 320; y: 8; width: parent.width - 328; height: parent.height - 16
        visible: panel.adapter !== null

        // The lease: another program holds the adapter.
        Rectangle {
            id: leaseBanner
            objectName: "leaseBanner"
            width: parent.width; height: visible ? 44 : 0
            visible: panel.adapter !== null && panel.adapter.inhibitedBy !== ""
            color: "#fff4ce"; border.color: "#d4a72c"
            Text {
                x: 10; anchors.verticalCenter: parent.verticalCenter
                width: parent.width - 20; elide: Text.ElideRight
                text: panel.adapter ? qsTr("Lent to %1: %2").arg(panel.adapter.inhibitedBy).arg(panel.adapter.inhibitReason) : ""
                font.pixelSize: 14
            }
        }

        Rectangle {
            id: bootloaderBanner
            objectName: "bootloaderBanner"
            y: leaseBanner.height + (leaseBanner.visible ? 6 : 0)
            width: parent.width; height: visible ? 44 : 0
            visible: panel.adapter !== null && panel.adapter.controllerInBootloader
            color: "#ffebe9"; border.color: "#cf222e"
            Text {
                x: 10; anchors.verticalCenter: parent.verticalCenter
                text: qsTr("The controller waits in its bootloader: update its firmware.")
                font.pixelSize: 14
            }
        }

        Column {
            id: detailColumn
            y: bootloaderBanner.y + bootloaderBanner.height + (bootloaderBanner.visible ? 6 : 0)
            width: parent.width
            spacing: 8

            Text { text: qsTr("Last bus frames"); font.pixelSize: 16; font.bold: true }
            Rectangle {
                width: parent.width; height: 8 * 18 + 8
                color: "white"; border.color: "#c8ccd2"
                ListView {
                    id: frameList
                    objectName: "frameList"
                    x: 8; y: 4; width: parent.width - 16; height: parent.height - 8
                    clip: true
                    interactive: false
                    model: frames
                    delegate: Text { text: model.text; font.family: "monospace"; font.pixelSize: 13; height: 18 }
                }
            }

            Text { text: qsTr("Module buttons"); font.pixelSize: 16; font.bold: true }
            Flow {
                id: buttons
                objectName: "buttons"
                width: parent.width
                spacing: 6
                enabled: panel.adapter !== null && panel.adapter.available
                Button {
                    text: qsTr("ixo program")
                    onClicked: panel.press(panel.adapter.pressIxoButton(NivoraVexbusUsbAdapter.IxoModuleButtonProgram, 500), text)
                }
                Button {
                    text: qsTr("ixo +")
                    onClicked: panel.press(panel.adapter.pressIxoButton(NivoraVexbusUsbAdapter.IxoModuleButtonPlus, 200), text)
                }
                Button {
                    text: qsTr("ixo −")
                    onClicked: panel.press(panel.adapter.pressIxoButton(NivoraVexbusUsbAdapter.IxoModuleButtonMinus, 200), text)
                }
                Button {
                    text: qsTr("app open")
                    onClicked: panel.press(panel.adapter.pressAppConnectorButton(NivoraVexbusUsbAdapter.AppConnectorModuleButtonOpen, 200), text)
                }
                Button {
                    text: qsTr("app halt")
                    onClicked: panel.press(panel.adapter.pressAppConnectorButton(NivoraVexbusUsbAdapter.AppConnectorModuleButtonHalt, 200), text)
                }
                Button {
                    text: qsTr("app close")
                    onClicked: panel.press(panel.adapter.pressAppConnectorButton(NivoraVexbusUsbAdapter.AppConnectorModuleButtonClose, 200), text)
                }
            }
            Text { text: panel.commandOutcome; font.pixelSize: 13; color: "#57606a"; height: 16 }

            Text { text: qsTr("Firmware update"); font.pixelSize: 16; font.bold: true }
            Row {
                spacing: 10
                Button {
                    id: chooseButton
                    text: qsTr("Update from file…")
                    enabled: panel.adapter !== null && !panel.adapter.updating
                    onClicked: chooser.active = true
                }
                ProgressBar {
                    id: progress
                    objectName: "updateProgress"
                    width: detailColumn.width - chooseButton.width - 10
                    anchors.verticalCenter: parent.verticalCenter
                    from: 0; to: 100
                    value: panel.adapter ? panel.adapter.updatePercentage : 0
                }
            }
            Text {
                id: outcome
                objectName: "updateOutcome"
                width: parent.width
                wrapMode: Text.Wrap
                font.pixelSize: 14
                text: {
                    if (!panel.adapter || panel.adapter.updatePhase === FirmwareUpdate.PhaseIdle)
                        return ""
                    if (panel.adapter.updatePhase === FirmwareUpdate.PhaseFailed)
                        return panel.adapter.updateErrorString
                    if (panel.adapter.updating)
                        return qsTr("%1: %2 %").arg(panel.phaseText(panel.adapter.updatePhase)).arg(Math.floor(panel.adapter.updatePercentage))
                    return panel.phaseText(panel.adapter.updatePhase)
                }
            }
        }
    }

    // The file chooser is loaded when it is needed: its import differs
    // between Qt 5 and Qt 6 (FileChooser.qml and +qt6/FileChooser.qml).
    Loader {
        id: chooser
        active: false
        source: "FileChooser.qml"
        onLoaded: item.open()
        Connections {
            target: chooser.item
            function onChosen(file) { panel.startUpdate(file) }
            function onClosed() { chooser.active = false }
        }
    }
}
