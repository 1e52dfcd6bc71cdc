// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The arguments of vexbusd's D-Bus methods WriteFrame and PressButton, as
// any client on the bus sends them: the first four bytes are the press's
// duration (little-endian), the rest the frame, the module and the button
// separated by zero bytes. A refusal is an invalid argument with a
// sentence; a press that passes names a button of its module, and lasts
// what it was asked to, within what the request can carry.

#include "commandarguments.h"
#include "fuzzcheck.h"

#include "adapter/nivoravexbususbadapter.h"

#include <QList>

FUZZ_TARGET(input)
{
    if (input.size() < 4)
        return;
    const unsigned int milliseconds = static_cast<unsigned char>(input.at(0)) | static_cast<unsigned char>(input.at(1)) << 8
            | static_cast<unsigned char>(input.at(2)) << 16 | static_cast<unsigned int>(static_cast<unsigned char>(input.at(3))) << 24;
    const QList<QByteArray> fields = input.mid(4).split('\0');
    const QByteArray frame = fields.value(0);
    const QString module = QString::fromUtf8(fields.value(1));
    const QString button = QString::fromUtf8(fields.value(2));

    const Outcome frameOutcome = CommandArguments::checkFrame(frame);
    FUZZ_CHECK(frameOutcome.succeeded() == !frame.isEmpty());
    if (!frameOutcome.succeeded())
        FUZZ_CHECK(frameOutcome.failure() == Outcome::InvalidArgument && !frameOutcome.message().isEmpty());

    CommandArguments::ButtonPress press;
    const Outcome pressOutcome = CommandArguments::toButtonPress(module, button, milliseconds, &press);
    if (!pressOutcome.succeeded()) {
        FUZZ_CHECK(pressOutcome.failure() == Outcome::InvalidArgument && !pressOutcome.message().isEmpty());
        return;
    }
    FUZZ_CHECK(press.milliseconds == milliseconds && milliseconds <= NivoraVexbusUsb::NivoraVexbusUsbAdapter::maximumPressDuration);
    FUZZ_CHECK(press.button > 0);
    FUZZ_CHECK(Names::buttonFromName(press.module, Names::buttonName(press.module, press.button)) == press.button);
    Names::Module again;
    FUZZ_CHECK(Names::moduleFromName(Names::moduleName(press.module), &again) && again == press.module);
}
