// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Chooses a firmware image (Qt 5's QtQuick.Dialogs).
import QtQuick 2.15
import QtQuick.Dialogs 1.3

FileDialog {
    signal chosen(url file)
    signal closed()
    title: qsTr("Firmware image")
    nameFilters: [qsTr("Firmware images (*.cyacd)"), qsTr("All files (*)")]
    onAccepted: { chosen(fileUrl); closed() }
    onRejected: closed()
}
