// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// UsbAdapter, the adapter in this process: the same properties and
// commands as through the service, on the mocked adapter the service
// leaves alone.
import QtQuick 2.15
import QtTest 1.15
import Nivora.Vexbus 1.0
import NivoraTest 1.0

TestCase {
    id: testCase
    name: "UsbAdapter"

    UsbAdapter { id: adapter; portName: harness.localPort() }
    UsbAdapter { id: idle }
    Component { id: spyComponent; SignalSpy {} }

    function init() {
        harness.resetEmulators()
        tryCompare(adapter, "available", true, 20000)
        tryCompare(adapter, "vexbusAvailable", true, 5000)
    }

    function test_followsTheController() {
        compare(adapter.state, NivoraVexbusUsbAdapter.StateConnected)
        compare(adapter.firmwareVersion, "1.4.12")
        compare(adapter.serialPortSystemLocation, harness.localPort())
        compare(adapter.baudrate, 115200)
        compare(adapter.inhibitedBy, "")
        harness.setStatus(Harness.LocalEmulator, 3, 1, 2)
        tryCompare(adapter, "ledMode", NivoraVexbusUsbUtils.LedModeBlinkFast, 5000)
        compare(adapter.vexbusType, NivoraVexbusUsbUtils.VexbusTypeKvt)
        compare(adapter.vexbusInitialized, false)
    }

    function test_commandsReachTheController() {
        var reply = adapter.pressAppConnectorButton(NivoraVexbusUsbAdapter.AppConnectorModuleButtonOpen, 300)
        tryCompare(reply, "isFinished", true, 5000)
        compare(reply.error, NivoraVexbusUsbReply.ErrorNoError)
        compare(harness.requests(Harness.LocalEmulator, NivoraVexbusUsbUtils.CommandPressAppConnectorModuleButton), ["06012c"])
        compare(harness.requests(Harness.ServiceEmulator, NivoraVexbusUsbUtils.CommandPressAppConnectorModuleButton), [])
    }

    function test_errorsArriveAsOutcomes() {
        harness.setCommandError(Harness.LocalEmulator, NivoraVexbusUsbUtils.CommandSoftReset, NivoraVexbusUsbUtils.ErrorUnknownCommand)
        var reply = adapter.resetController()
        tryCompare(reply, "isFinished", true, 5000)
        compare(reply.error, NivoraVexbusUsbReply.ErrorInterfaceError)
        verify(reply.errorString.indexOf("UnknownCommand") >= 0, reply.errorString)

        var update = adapter.updateFirmware(harness.invalidFirmware())
        compare(update.isFinished, false)
        tryCompare(update, "isFinished", true, 5000)
        compare(update.error, FirmwareUpdate.ErrorImageInvalid)
        compare(update.phase, FirmwareUpdate.PhaseFailed)
        compare(adapter.updateError, FirmwareUpdate.ErrorImageInvalid)
        compare(adapter.updateErrorString, update.errorString)
    }

    function test_updatesInThisProcess() {
        var update = adapter.updateFirmware(harness.sampleFirmware())
        var phaseSpy = createTemporaryObject(spyComponent, testCase, { target: update, signalName: "phaseChanged" })
        var finishedSpy = createTemporaryObject(spyComponent, testCase, { target: update, signalName: "finished" })
        tryCompare(update, "isFinished", true, 30000)
        compare(finishedSpy.count, 1)
        compare(update.error, FirmwareUpdate.ErrorNone, update.errorString)
        compare(update.phase, FirmwareUpdate.PhaseDone)
        compare(update.percentage, 100)
        var phases = phaseSpy.signalArguments.map(function (a) { return a[0] })
        verify(phases.indexOf(FirmwareUpdate.PhaseWriting) >= 0, JSON.stringify(phases))
        // The update ends once the restarted controller has answered.
        compare(adapter.available, true)
        compare(adapter.updatePhase, FirmwareUpdate.PhaseDone)
        verify(harness.requests(Harness.LocalEmulator, NivoraVexbusUsbUtils.CommandStartBootloader).length > 0)
    }

    function test_withoutAPortCommandsAreRefused() {
        compare(idle.available, false)
        var reply = idle.resetController()
        compare(reply.isFinished, false)
        tryCompare(reply, "isFinished", true, 1000)
        compare(reply.error, NivoraVexbusUsbReply.ErrorNotAvailable)
    }
}
