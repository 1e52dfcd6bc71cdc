// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

// Where a terminal device that udev does not list is found. An adapter on
// such a port is driven end to end by the tool tests, which run vexbusctl on
// the emulator's pseudo-terminal.
#include "devicewatcher/nivoravexbususbportlocation.h"

#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;

namespace {

// Opens a raw pseudo-terminal, as a serial-over-network bridge or the
// emulator tool would offer it, and returns its master; -1 on an error.
int openPseudoTerminal(QString *path)
{
    int master = -1;
    int slave = -1;
    char name[256] = {0};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return -1;
    struct termios settings;
    ::tcgetattr(slave, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(slave, TCSANOW, &settings);
    ::close(slave);
    *path = QString::fromLocal8Bit(name);
    return master;
}

} // namespace

class TestNivoraVexbusUsbPortLocation : public QObject
{
    Q_OBJECT

private slots:
    void locate_data();
    void locate();
};

void TestNivoraVexbusUsbPortLocation::locate_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("found");
    QTest::newRow("pseudo-terminal") << "pty" << true;
    QTest::newRow("symlink to pseudo-terminal") << "link" << true;
    QTest::newRow("regular file") << "file" << false;
    QTest::newRow("missing path") << "missing" << false;
}

void TestNivoraVexbusUsbPortLocation::locate()
{
    QFETCH(QString, kind);
    QFETCH(bool, found);

    QString ptyPath;
    const int master = openPseudoTerminal(&ptyPath);
    QVERIFY(master >= 0);
    const auto closeMaster = qScopeGuard([master]() { ::close(master); });
    QTemporaryDir dir;
    QString path = ptyPath;
    if (kind == "link") {
        path = dir.filePath(QStringLiteral("vexbus0"));
        QVERIFY(QFile::link(ptyPath, path));
    } else if (kind == "file") {
        path = dir.filePath(QStringLiteral("plain"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == "missing") {
        path = dir.filePath(QStringLiteral("nothing"));
    }

    const NivoraVexbusUsbPortLocation location = NivoraVexbusUsbPortLocation::find(path);
    QCOMPARE(!location.isNull(), found);
    QVERIFY(!location.isEnumerated());
    if (!found)
        return;
    QCOMPARE(location.systemLocation(), path);
    // Named as QSerialPort names it: without "/dev/", as "pts/3".
    QCOMPARE(location.portName(), kind == "pty" ? ptyPath.mid(5) : path);
    QVERIFY(location.serialPortInfo().isNull());
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbPortLocation)
#include "tst_nivoravexbususbportlocation.moc"
