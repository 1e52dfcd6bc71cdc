// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The panel example as a person sees it, in three states, compared with
// reviewed reference pictures: connected to a controller at 1.4.12 with
// three bus frames, in the middle of an update, and with the controller
// waiting in its bootloader. Connected and bootloader come from vexbusd
// and the emulated controller; an update cannot be stopped at its middle
// on purpose, so that state is an adapter object given to the panel.
import QtQuick 2.15
import QtTest 1.15
import Nivora.Vexbus 1.0
import NivoraTest 1.0
import "../../../examples/panel"

Item {
    id: window
    width: 800
    height: 480

TestCase {
    id: testCase
    name: "Panel"
    when: windowShown

    ServiceAdapterModel { id: serviceAdapters }

    Component {
        id: panelComponent
        Panel {}
    }

    // An adapter in the middle of writing its rows, with the properties
    // every adapter of the module has.
    QtObject {
        id: updatingAdapter
        signal vexbusFrameReceived(var vexbusFrame)
        property int state: NivoraVexbusUsbAdapter.StateConnectedBootloader
        property bool available: false
        property bool controllerInBootloader: false
        property string firmwareVersion: ""
        property int ledMode: NivoraVexbusUsbUtils.LedModeUnknown
        property int vexbusType: NivoraVexbusUsbUtils.VexbusTypeHoltrane
        property bool vexbusSynchronized: false
        property bool vexbusInitialized: false
        property bool vexbusAvailable: false
        property string serialPortSystemLocation: "/dev/ttyUSB0"
        property string serialPortSerialNumber: "A5XK1234"
        property int baudrate: 115200
        property bool updating: true
        property int updatePhase: FirmwareUpdate.PhaseWriting
        property real updatePercentage: 48.8
        property int updateError: FirmwareUpdate.ErrorNone
        property string updateErrorString: ""
        property string inhibitedBy: ""
        property string inhibitReason: ""
    }
    ListModel { id: updatingAdapters }

    // The panel as it is drawn, compared with its reference picture. The
    // grab's result lives only during its callback.
    function compareWithReference(item, name) {
        var saved = null
        // A few frames, so that the scene has settled into what it shows.
        wait(50)
        verify(item.grabToImage(function (result) { saved = result.saveToFile(harness.pictureFile(name)) }))
        tryVerify(function () { return saved !== null }, 5000)
        verify(saved)
        compare(harness.comparePicture(name), "")
    }

    function cleanupTestCase() {
        verify(harness.stopService())
    }

    function test_connected() {
        harness.resetEmulators()
        verify(harness.startService())
        tryCompare(serviceAdapters, "count", 1, 5000)
        var adapter = serviceAdapters.adapterAt(0)
        tryCompare(adapter, "available", true, 20000)
        tryCompare(adapter, "firmwareVersion", "1.4.12", 5000)
        var panel = createTemporaryObject(panelComponent, window, { adapters: serviceAdapters })
        tryCompare(panel, "adapter", adapter, 5000)
        verify(harness.sendFrame(Harness.ServiceEmulator, "0a1b2c3d"))
        verify(harness.sendFrame(Harness.ServiceEmulator, "10270044"))
        verify(harness.sendFrame(Harness.ServiceEmulator, "c0ffee"))
        tryCompare(findChild(panel, "frameList"), "count", 3, 5000)
        compareWithReference(panel, "connected")
    }

    function test_updating() {
        updatingAdapters.clear()
        updatingAdapters.append({ adapter: updatingAdapter })
        var panel = createTemporaryObject(panelComponent, window, { adapters: updatingAdapters })
        tryCompare(panel, "adapter", updatingAdapter, 5000)
        compare(findChild(panel, "updateOutcome").text, "Writing: 48 %")
        compareWithReference(panel, "updating")
    }

    function test_controllerInBootloader() {
        // The service finds the controller's bootloader answering after the
        // application did not answer its three init attempts.
        verify(harness.stopService())
        harness.resetEmulators()
        harness.enterBootloader(Harness.ServiceEmulator)
        verify(harness.startService())
        tryCompare(serviceAdapters, "count", 1, 5000)
        var adapter = serviceAdapters.adapterAt(0)
        tryCompare(adapter, "controllerInBootloader", true, 15000)
        var panel = createTemporaryObject(panelComponent, window, { adapters: serviceAdapters })
        tryCompare(panel, "adapter", adapter, 5000)
        tryCompare(findChild(panel, "bootloaderBanner"), "visible", true, 1000)
        compareWithReference(panel, "bootloader")
        // The next test finds the controller's application again.
        verify(harness.stopService())
        harness.resetEmulators()
    }
}
}
