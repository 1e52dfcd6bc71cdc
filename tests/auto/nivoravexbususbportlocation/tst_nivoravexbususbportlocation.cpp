#include "adapter/nivoravexbususbadapter.h"
#include "devicewatcher/nivoravexbususbportlocation.h"
#include "vexbusemulator.h"

#include <QTemporaryDir>
#include <QtTest>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace NivoraVexbusUsb;
using NivoraVexbusUsbEmulator::VexbusEmulator;

// A pseudo-terminal as a serial-over-network bridge or the emulator tool
// would offer it.
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        int slave = -1;
        char name[256] = {0};
        if (::openpty(&m_master, &slave, name, nullptr, nullptr) != 0)
            return;
        struct termios settings;
        ::tcgetattr(slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
        ::close(slave);
        m_path = QString::fromLocal8Bit(name);
    }
    ~PseudoTerminal()
    {
        if (m_master >= 0)
            ::close(m_master);
    }
    int master() const { return m_master; }
    QString path() const { return m_path; }

private:
    int m_master = -1;
    QString m_path;
};

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

    PseudoTerminal pty;
    QVERIFY(!pty.path().isEmpty());
    QTemporaryDir dir;
    QString path = pty.path();
    if (kind == "link") {
        path = dir.filePath(QStringLiteral("vexbus0"));
        QVERIFY(QFile::link(pty.path(), path));
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
    QCOMPARE(location.portName(), kind == "pty" ? pty.path().mid(5) : path);
    QVERIFY(location.serialPortInfo().isNull());

    // An adapter on the port, as a serial-over-network bridge offers it,
    // comes up without udev knowing the port.
    VexbusEmulator emulator;
    QVERIFY(emulator.attach(pty.master()));
    NivoraVexbusUsbAdapter adapter;
    adapter.setPortName(path);
    QVERIFY(adapter.start());
    QTRY_COMPARE(adapter.state(), NivoraVexbusUsbAdapter::StateConnected);
    QCOMPARE(adapter.firmwareVersion(), QStringLiteral("1.4.12"));
    QCOMPARE(adapter.serialPortSystemLocation(), path);
    QVERIFY(adapter.serialPortSerialNumber().isEmpty());
}

QTEST_GUILESS_MAIN(TestNivoraVexbusUsbPortLocation)
#include "tst_nivoravexbususbportlocation.moc"
