#include "emulatedadapter.h"
#include "httpsserver.h"

#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

using namespace NivoraVexbusUsb;

class TestFirmwareUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void updateFromReleaseServer();

private:
    QTemporaryDir m_dir;
    NivoraTest::TestCertificate m_certificate;
};

void TestFirmwareUpdate::initTestCase()
{
    QVERIFY(m_dir.isValid());
    qputenv("XDG_CACHE_HOME", QFile::encodeName(m_dir.filePath(QStringLiteral("cache"))));
    QString error;
    m_certificate = NivoraTest::TestCertificate::generate(m_dir.path(), &error);
    QVERIFY2(!m_certificate.isNull(), qPrintable(error));
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(m_certificate.certificate);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void TestFirmwareUpdate::updateFromReleaseServer()
{
    // The release: an image for the emulated chip and its description.
    const QByteArray image = "123456780000\n:000022000401020304D0\n:000023000405060708BF\n";
    NivoraTest::HttpsServer server;
    server.setCertificate(m_certificate);
    server.setRootDirectory(m_dir.filePath(QStringLiteral("www")));
    QVERIFY(server.publishRelease(QStringLiteral("/firmware/nivora-vexbususb"), QStringLiteral("adapter-1.5.0.cyacd"),
                                  image, 1, 5, 0));
    QVERIFY(server.listenOnLoopback());

    NivoraTest::EmulatedAdapter rig;
    rig.emulator().setFirmwareVersionAfterUpdate(QVersionNumber(1, 5, 0));
    QVERIFY(rig.startConnected());
    NivoraVexbusUsbAdapter &adapter = *rig.adapter();
    QCOMPARE(adapter.firmwareVersion(), QStringLiteral("1.4.12"));

    FirmwareDownloader *downloader = adapter.firmwareDownloader();
    downloader->setBaseUrl(server.url(QStringLiteral("/firmware/nivora-vexbususb")));
    QSignalSpy availableSpy(&adapter, &NivoraVexbusUsbAdapter::firmwareUpdateAvailableChanged);
    downloader->checkNewFirmware();
    QTRY_VERIFY_WITH_TIMEOUT(adapter.firmwareUpdateAvailable(), 10000);
    QCOMPARE(availableSpy.count(), 1);

    adapter.startFirmwareUpdate();
    QVERIFY(adapter.updating());
    QTRY_COMPARE_WITH_TIMEOUT(adapter.firmwareVersion(), QStringLiteral("1.5.0"), 15000);
    QCOMPARE(adapter.state(), NivoraVexbusUsbAdapter::StateConnected);
    QVERIFY(!adapter.updating());
    QCOMPARE(adapter.updatePercentage(), 0.0);
    QCOMPARE(rig.emulator().flash().row(0, 0x22).toHex(), QByteArray("01020304"));
    QCOMPARE(rig.emulator().flash().row(0, 0x23).toHex(), QByteArray("05060708"));
    // Still offered after the update: the flag follows the downloader only.
    QVERIFY(adapter.firmwareUpdateAvailable());
}

QTEST_GUILESS_MAIN(TestFirmwareUpdate)
#include "tst_firmwareupdate.moc"
