// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Chooses a firmware image (Qt 6's QtQuick.Dialogs).
import QtQuick
import QtQuick.Dialogs

FileDialog {
    signal chosen(url file)
    signal closed()
    title: qsTr("Firmware image")
    nameFilters: [qsTr("Firmware images (*.cyacd)"), qsTr("All files (*)")]
    onAccepted: { chosen(selectedFile); closed() }
    onRejected: closed()
}
