// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// A command that arrives on MQTT for vexbusd, as anyone who may publish on
// the broker sends it: the first byte picks the command, the rest is its
// payload. A refusal is an invalid argument with a sentence; a command
// that passes carries arguments the service can send as they are.

#include "commandarguments.h"
#include "fuzzcheck.h"
#include "mqttcommand.h"

#include "adapter/nivoravexbususbadapter.h"

FUZZ_TARGET(input)
{
    if (input.isEmpty())
        return;
    static const QString commands[] = {QStringLiteral("write"), QStringLiteral("press"), QStringLiteral("reset"),
                                       QStringLiteral("update/install")};
    const QString command = commands[static_cast<unsigned char>(input.at(0)) % 4];
    const QByteArray payload = input.mid(1);

    const MqttCommand request = MqttCommand::read(payload);
    if (!request.refusal().succeeded()) {
        FUZZ_CHECK(request.refusal().failure() == Outcome::InvalidArgument && !request.refusal().message().isEmpty());
        FUZZ_CHECK(request.transaction().isUndefined());
        return;
    }
    FUZZ_CHECK(payload.size() <= MqttCommand::maximumPayload);

    const Outcome refused = request.validate(command);
    if (!refused.succeeded()) {
        FUZZ_CHECK(refused.failure() == Outcome::InvalidArgument && !refused.message().isEmpty());
        return;
    }
    if (command == QLatin1String("write")) {
        const QByteArray frame = request.frame();
        FUZZ_CHECK(!frame.isEmpty() && frame.size() <= NivoraVexbusUsb::NivoraVexbusUsbAdapter::maximumVexbusFrameSize);
        FUZZ_CHECK(CommandArguments::checkFrame(frame).succeeded());
    } else if (command == QLatin1String("press")) {
        const unsigned int milliseconds = request.milliseconds();
        FUZZ_CHECK(milliseconds >= 1 && milliseconds <= NivoraVexbusUsb::NivoraVexbusUsbAdapter::maximumPressDuration);
        // Only the names are left for the service to judge.
        CommandArguments::ButtonPress press;
        const Outcome pressRefused = CommandArguments::toButtonPress(request.module(), request.button(), milliseconds, &press);
        FUZZ_CHECK(pressRefused.succeeded() || !pressRefused.message().startsWith(QLatin1String("A press lasts")));
    } else {
        FUZZ_CHECK(request.arguments().isEmpty());
    }
}
