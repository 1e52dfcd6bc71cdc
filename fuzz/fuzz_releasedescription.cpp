// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// The release description as the release server sends it, and the
// decisions the downloader takes on it: an accepted release names a file
// that stays inside the cache directory and on the release server, and
// has a date and a version.

#include "fuzzcheck.h"
#include "firmware/firmwaredownloader.h"
#include "firmware/firmwarerelease.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>

using namespace NivoraVexbusUsb;

FUZZ_TARGET(description)
{
    FirmwareRelease release;
    if (!release.parse(description)) {
        FUZZ_CHECK(!release.errorString().isEmpty() && release.updateFileName().isEmpty());
        return;
    }

    const QString name = release.updateFileName();
    FUZZ_CHECK(FirmwareDownloader::isPlainFileName(name));
    const QString cache = QStringLiteral("/var/cache/app/nivora-vexbususb");
    const QString cachedFile = QDir::cleanPath(cache + QLatin1Char('/') + name);
    FUZZ_CHECK(cachedFile.startsWith(cache + QLatin1Char('/')) && !cachedFile.mid(cache.size() + 1).contains(QLatin1Char('/')));
    const QUrl url(QStringLiteral("https://127.0.0.1:4443/firmware/") + name, QUrl::TolerantMode);
    FUZZ_CHECK(url.host() == QLatin1String("127.0.0.1") && url.port() == 4443);

    FUZZ_CHECK(release.releaseDateTime().isValid());
    static const QRegularExpression version(QStringLiteral("^-?\\d+\\.-?\\d+\\.-?\\d+$"));
    FUZZ_CHECK(version.match(release.versionString()).hasMatch());
}
