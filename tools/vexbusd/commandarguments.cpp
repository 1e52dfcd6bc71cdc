// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "commandarguments.h"

#include "adapter/nivoravexbususbadapter.h"

using NivoraVexbusUsb::NivoraVexbusUsbAdapter;

namespace CommandArguments {

Outcome checkFrame(const QByteArray &frame)
{
    if (frame.isEmpty())
        return Outcome(Outcome::InvalidArgument, QStringLiteral("A bus frame has at least one byte; nothing was sent."));
    return Outcome();
}

Outcome toButtonPress(const QString &module, const QString &button, unsigned int milliseconds, ButtonPress *press)
{
    if (!Names::moduleFromName(module, &press->module)) {
        return Outcome(Outcome::InvalidArgument, QStringLiteral("Unknown module \"%1\"; the modules are ixo, remote and app. "
                                                                "Nothing was sent.").arg(module));
    }
    press->button = Names::buttonFromName(press->module, button);
    if (press->button <= 0) {
        return Outcome(Outcome::InvalidArgument, QStringLiteral("The %1 module has no button \"%2\"; its buttons are %3. "
                                                                "Nothing was sent.")
                       .arg(module, button, Names::buttonNames(press->module).join(QStringLiteral(", "))));
    }
    if (milliseconds > NivoraVexbusUsbAdapter::maximumPressDuration) {
        return Outcome(Outcome::InvalidArgument, QStringLiteral("A press lasts at most %1 ms, not %2; nothing was sent.")
                       .arg(NivoraVexbusUsbAdapter::maximumPressDuration).arg(milliseconds));
    }
    press->milliseconds = milliseconds;
    return Outcome();
}

} // namespace CommandArguments
