// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_COMMANDARGUMENTS_H
#define VEXBUSD_COMMANDARGUMENTS_H

#include "names.h"
#include "outcome.h"

#include <QByteArray>
#include <QString>

// The arguments of the service's commands as its front ends receive them
// (a D-Bus call, an MQTT command), checked before anything is sent: each
// function turns them into the command or into the Outcome that refuses
// them. What the library checks itself (a frame's length) it still
// checks; these catch what the library would read otherwise, such as an
// empty frame, which it takes for its test frame.
namespace CommandArguments {

// A bus frame to write.
Outcome checkFrame(const QByteArray &frame);

struct ButtonPress
{
    Names::Module module = Names::Module::Ixo;
    int button = 0;
    unsigned int milliseconds = 0;
};

// A press of a module's button by their names, for milliseconds ms.
Outcome toButtonPress(const QString &module, const QString &button, unsigned int milliseconds, ButtonPress *press);

} // namespace CommandArguments

#endif // VEXBUSD_COMMANDARGUMENTS_H
