// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// A fleet policy as anyone who may publish on the fleet topic or serve
// the release folder sends it; the service parses it before it checks the
// signature. A refusal has a reason; an accepted policy holds the limits
// the gateway relies on, and writing it out gives the same policy again.

#include "fleetpolicy.h"
#include "fuzzcheck.h"

FUZZ_TARGET(content)
{
    QString error;
    const FleetPolicy policy = FleetPolicy::fromJson(content, &error);
    if (policy.isNull()) {
        FUZZ_CHECK(!error.isEmpty());
        return;
    }
    FUZZ_CHECK(content.size() <= FleetPolicy::maximumSize);
    FUZZ_CHECK(policy.sequence() >= 1);
    FUZZ_CHECK(policy.percent() >= 0 && policy.percent() <= 100);
    FUZZ_CHECK(policy.targetsCurrent() || !FleetPolicy::parseVersion(policy.target()).isNull());
    for (const QString &sha256 : policy.approvedSha256())
        FUZZ_CHECK(FleetPolicy::isSha256(sha256));
    // A policy that may install something says what.
    FUZZ_CHECK(policy.halt() || policy.percent() == 0 || !policy.approvedSha256().isEmpty());

    const int bucket = FleetPolicy::bucketOf(QString::fromUtf8(content.left(40)), policy.rollout());
    FUZZ_CHECK(bucket >= 0 && bucket < 100);
    if (policy.hasWindow()) {
        const QTime start = policy.windowStart();
        FUZZ_CHECK(policy.isInsideWindow(start) && policy.msecsUntilWindow(start) == 0);
        FUZZ_CHECK(!policy.isInsideWindow(policy.windowEnd()) && policy.msecsUntilWindow(policy.windowEnd()) > 0);
    }

    QString again;
    const FleetPolicy written = FleetPolicy::fromJson(policy.toJson(), &again);
    FUZZ_CHECK(!written.isNull() && again.isEmpty());
    FUZZ_CHECK(written.toJson() == policy.toJson());
}
