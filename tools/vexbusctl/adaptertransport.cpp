// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "adaptertransport.h"
#include "commands.h"
#include "directtransport.h"
#include "servicetransport.h"

int AdapterTransport::open(const CommandContext &context, std::unique_ptr<AdapterTransport> *transport)
{
    // The traffic of a port can only be recorded where the port is opened.
    if (!context.direct && context.adapterOptions.recordFile.isEmpty()) {
        std::unique_ptr<ServiceTransport> service(new ServiceTransport(context));
        int found = ExitSuccess;
        if (service->find(&found)) {
            if (found == ExitSuccess)
                *transport = std::move(service);
            return found;
        }
    }
    std::unique_ptr<DirectTransport> direct(new DirectTransport(context));
    const int opened = direct->open();
    if (opened == ExitSuccess)
        *transport = std::move(direct);
    return opened;
}
