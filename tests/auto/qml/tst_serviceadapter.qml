// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// ServiceAdapterModel and ServiceAdapter against vexbusd: the adapter it
// shares, its properties following the emulated controller, commands
// reaching the controller, errors and refusals arriving as outcomes, and
// the lease of another program.
import QtQuick 2.15
import QtTest 1.15
import Nivora.Vexbus 1.0
import NivoraTest 1.0

TestCase {
    id: testCase
    name: "ServiceAdapter"

    ServiceAdapterModel { id: adapters }

    SignalSpy { id: frameSpy; signalName: "vexbusFrameReceived" }

    property var adapter: adapters.count > 0 ? adapters.adapterAt(0) : null

    function initTestCase() {
        harness.resetEmulators()
        compare(adapters.running, false)
        verify(harness.startService())
        tryCompare(adapters, "running", true, 5000)
        tryCompare(adapters, "count", 1, 5000)
        tryCompare(adapter, "available", true, 20000)
    }

    function cleanupTestCase() {
        verify(harness.stopService())
        tryCompare(adapters, "running", false, 5000)
        compare(adapters.count, 0)
    }

    function init() {
        harness.resetEmulators()
        tryCompare(adapter, "vexbusAvailable", true, 5000)
        frameSpy.target = adapter
        frameSpy.clear()
    }

    function test_listsTheAdapterWithItsProperties() {
        compare(adapter.objectPath, "/org/nivora/Vexbus1/adapter/A5XK1234")
        compare(adapters.adapterAt(1), null)
        compare(adapter.state, NivoraVexbusUsbAdapter.StateConnected)
        compare(adapter.available, true)
        compare(adapter.controllerInBootloader, false)
        compare(adapter.firmwareVersion, "1.4.12")
        compare(adapter.ledMode, NivoraVexbusUsbUtils.LedModeOn)
        compare(adapter.vexbusType, NivoraVexbusUsbUtils.VexbusTypeHoltrane)
        compare(adapter.vexbusSynchronized, true)
        compare(adapter.vexbusInitialized, true)
        compare(adapter.serialPortSystemLocation, "/dev/ttyUSB0")
        compare(adapter.serialPortSerialNumber, "A5XK1234")
        compare(adapter.baudrate, 115200)
        compare(adapter.updating, false)
        compare(adapter.updatePhase, FirmwareUpdate.PhaseIdle)
        compare(adapter.updatePercentage, 0)
        compare(adapter.updateError, FirmwareUpdate.ErrorNone)
        compare(adapter.updateErrorString, "")
        compare(adapter.inhibitedBy, "")
    }

    function test_propertiesFollowTheController_data() {
        return [
            { tag: "blinking, only synchronized, second bus type", led: 2, flags: 1, busType: 2,
              ledMode: NivoraVexbusUsbUtils.LedModeBlinkSlow, vexbusType: NivoraVexbusUsbUtils.VexbusTypeKvt,
              synchronized: true, initialized: false, available: false },
            { tag: "off, initialized and available, no bus", led: 0, flags: 6, busType: 0,
              ledMode: NivoraVexbusUsbUtils.LedModeOff, vexbusType: NivoraVexbusUsbUtils.VexbusTypeUnknown,
              synchronized: false, initialized: true, available: true },
        ]
    }

    function test_propertiesFollowTheController(data) {
        harness.setStatus(Harness.ServiceEmulator, data.led, data.flags, data.busType)
        tryCompare(adapter, "ledMode", data.ledMode, 5000)
        tryCompare(adapter, "vexbusType", data.vexbusType, 5000)
        tryCompare(adapter, "vexbusSynchronized", data.synchronized, 5000)
        tryCompare(adapter, "vexbusInitialized", data.initialized, 5000)
        tryCompare(adapter, "vexbusAvailable", data.available, 5000)
    }

    Component { id: modelComponent; ServiceAdapterModel {} }

    // Frames come from the moment an adapter shows itself available, also
    // to an object that has just appeared.
    function test_busFramesArrive_data() {
        return [ { tag: "the adapter followed for a while" }, { tag: "an adapter just listed", fresh: true } ]
    }

    function test_busFramesArrive(data) {
        let spy = frameSpy
        if (data.fresh) {
            const model = createTemporaryObject(modelComponent, testCase)
            tryCompare(model, "count", 1, 5000)
            tryCompare(model.adapterAt(0), "available", true, 5000)
            spy = createTemporaryObject(spyComponent, testCase, { target: model.adapterAt(0), signalName: "vexbusFrameReceived" })
        }
        verify(harness.sendFrame(Harness.ServiceEmulator, "0a1b2c3d"))
        verify(harness.sendFrame(Harness.ServiceEmulator, "ff"))
        tryCompare(spy, "count", 2, 5000)
        compare(Array.from(new Uint8Array(spy.signalArguments[0][0])), [0x0a, 0x1b, 0x2c, 0x3d])
        compare(Array.from(new Uint8Array(spy.signalArguments[1][0])), [0xff])
    }

    function test_commandsReachTheController_data() {
        return [
            { tag: "ixo program", command: NivoraVexbusUsbUtils.CommandSetIxoModuleBuffer, payload: "801801f4",
              give: function (a) { return a.pressIxoButton(NivoraVexbusUsbAdapter.IxoModuleButtonProgram, 500) } },
            { tag: "remote minus", command: NivoraVexbusUsbUtils.CommandSetIxoModuleBuffer, payload: "000200c8",
              give: function (a) { return a.pressRemoteServiceButton(NivoraVexbusUsbAdapter.RemoteServiceModuleButtonMinus, 200) } },
            { tag: "app halt", command: NivoraVexbusUsbUtils.CommandPressAppConnectorModuleButton, payload: "070064",
              give: function (a) { return a.pressAppConnectorButton(NivoraVexbusUsbAdapter.AppConnectorModuleButtonHalt, 100) } },
            { tag: "parameter handling", command: NivoraVexbusUsbUtils.CommandEnableAppConnectorParameterHandling, payload: "01",
              give: function (a) { return a.enableAppConnectorParameterHandling(true) } },
            { tag: "frame", command: NivoraVexbusUsbUtils.CommandWriteDataToVexbus, payload: "03414243",
              give: function (a) { return a.writeDataToVexbus(new Uint8Array([0x41, 0x42, 0x43]).buffer) } },
        ]
    }

    function test_commandsReachTheController(data) {
        var reply = data.give(adapter)
        compare(reply.isFinished, false)
        tryCompare(reply, "isFinished", true, 5000)
        compare(reply.error, NivoraVexbusUsbReply.ErrorNoError)
        compare(reply.errorString, "")
        compare(harness.requests(Harness.ServiceEmulator, data.command), [data.payload])
    }

    function test_errorsArriveAsOutcomes_data() {
        return [
            { tag: "controller error", controllerError: NivoraVexbusUsbUtils.ErrorVexbusNotAvailable,
              error: NivoraVexbusUsbReply.ErrorInterfaceError, says: "VexbusNotAvailable" },
            { tag: "frame too long", controllerError: 0, error: NivoraVexbusUsbReply.ErrorInvalidArgument, says: "256",
              frame: new Uint8Array(256).buffer },
            { tag: "empty frame", controllerError: 0, error: NivoraVexbusUsbReply.ErrorInvalidArgument, says: "",
              frame: new ArrayBuffer(0) },
        ]
    }

    function test_errorsArriveAsOutcomes(data) {
        if (data.controllerError)
            harness.setCommandError(Harness.ServiceEmulator, NivoraVexbusUsbUtils.CommandWriteDataToVexbus, data.controllerError)
        var reply = adapter.writeDataToVexbus(data.frame ? data.frame : new Uint8Array([1, 2]).buffer)
        tryCompare(reply, "isFinished", true, 5000)
        compare(reply.error, data.error)
        verify(reply.errorString.indexOf(data.says) >= 0, reply.errorString)
        verify(reply.errorString.length > 0)
    }

    function test_refusedUpdatesArriveAsOutcomes_data() {
        return [
            { tag: "not an image", image: harness.invalidFirmware(), error: FirmwareUpdate.ErrorImageInvalid },
            { tag: "no file", image: "file:///nonexistent/vexbus.cyacd", error: FirmwareUpdate.ErrorImageUnreadable },
        ]
    }

    function test_refusedUpdatesArriveAsOutcomes(data) {
        var update = adapter.updateFirmware(data.image)
        var finishedSpy = createTemporaryObject(spyComponent, testCase, { target: update, signalName: "finished" })
        tryCompare(update, "isFinished", true, 5000)
        compare(finishedSpy.count, 1)
        compare(finishedSpy.signalArguments[0][0], false)
        compare(update.error, data.error)
        compare(update.phase, FirmwareUpdate.PhaseFailed)
        verify(update.errorString.length > 0)
        compare(adapter.available, true)
    }

    function test_updatesThroughTheService() {
        var update = adapter.updateFirmware(harness.sampleFirmware())
        var phaseSpy = createTemporaryObject(spyComponent, testCase, { target: update, signalName: "phaseChanged" })
        tryCompare(update, "isFinished", true, 30000)
        compare(update.error, FirmwareUpdate.ErrorNone, update.errorString)
        compare(update.phase, FirmwareUpdate.PhaseDone)
        compare(update.percentage, 100)
        var phases = phaseSpy.signalArguments.map(function (a) { return a[0] })
        verify(phases.indexOf(FirmwareUpdate.PhaseWriting) >= 0, JSON.stringify(phases))
        tryCompare(adapter, "available", true, 20000)
        compare(adapter.updatePhase, FirmwareUpdate.PhaseDone)
    }

    function test_showsTheLeaseOfAnotherProgram() {
        var holder = harness.inhibitAsOtherProgram(adapter.objectPath, "minicom session")
        verify(holder !== "")
        tryCompare(adapter, "inhibitedBy", holder, 5000)
        compare(adapter.inhibitReason, "minicom session")
        var reply = adapter.pressIxoButton(NivoraVexbusUsbAdapter.IxoModuleButtonPlus)
        tryCompare(reply, "isFinished", true, 5000)
        compare(reply.error, NivoraVexbusUsbReply.ErrorNotAvailable)
        verify(reply.errorString.indexOf(holder) >= 0 || reply.errorString.indexOf("minicom") >= 0, reply.errorString)
        harness.leaveAsOtherProgram()
        tryCompare(adapter, "inhibitedBy", "", 5000)
        tryCompare(adapter, "available", true, 20000)
    }

    Component { id: spyComponent; SignalSpy {} }
}
