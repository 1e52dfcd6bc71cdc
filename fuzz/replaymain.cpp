// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Runs a fuzz target's entry function over every file of the directories
// given, as the test suite does with the inputs that once failed and with
// the seed corpus: a fault that comes back crashes, trips a sanitizer or
// fails an invariant, and the test fails with it.

#include "fuzzcheck.h"

#include <QDir>
#include <QFile>

int main(int argc, char **argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        // A target without a failed input yet has no regressions folder.
        const QDir directory(QString::fromLocal8Bit(argv[i]));
        for (const QString &name : directory.entryList(QDir::Files, QDir::Name)) {
            QFile file(directory.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
                return 1;
            }
            const QByteArray data = file.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(data.constData()), static_cast<size_t>(data.size()));
            ++replayed;
        }
    }
    std::printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
