#ifndef FIRMWAREDATA_H
#define FIRMWAREDATA_H

#include "nivoravexbususb_export.h"
#include "bootloader/bootloaderutils.h"
#include "bootloader/firmwaredatarow.h"

#include <QByteArray>
#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>

class QFile;

namespace NivoraVexbusUsb {

// A firmware image for the controller: a header line naming the chip it is
// built for, then one line per flash row. Parsed on construction or when
// new data is set; failures show in the log and in isValid().
class NIVORAVEXBUSUSB_EXPORT FirmwareData
{
    Q_GADGET
    Q_PROPERTY(int siliconId READ siliconId CONSTANT)
    Q_PROPERTY(int siliconRev READ siliconRevision CONSTANT)

public:
    // An image is read whole into memory; a file longer than this (16 MiB)
    // is no image of the controller's flash and is refused.
    static constexpr qint64 maximumFileSize = 16 * 1024 * 1024;

    // Reads an opened image file whole into data; false, with a warning
    // naming the limit, for a file longer than maximumFileSize (also one
    // that does not end, such as a device).
    static bool readFile(QFile *file, QByteArray *data);

    FirmwareData() = default;
    explicit FirmwareData(const QByteArray &data);
    explicit FirmwareData(const QString &fileName);

    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    QString applicationVersion() const { return m_applicationVersion; }
    void setApplicationVersion(const QString &applicationVersion) { m_applicationVersion = applicationVersion; }

    QString fileName() const { return m_fileName; }
    void setFileName(const QString &fileName);

    QByteArray data() const { return m_data; }
    void setData(const QByteArray &data);

    QList<FirmwareDataRow> rows() const { return m_rows; }
    int siliconId() const { return m_siliconId; }
    quint8 siliconRev() const { return m_siliconRev; }
    BootloaderUtils::ChecksumType checksumType() const { return m_checksumType; }

    void processData();
    void clear();

    bool isValid() const;

    bool operator==(const FirmwareData &other) const;
    bool operator!=(const FirmwareData &other) const;

private:
    int siliconRevision() const { return m_siliconRev; }
    void readHeader(const QByteArray &line);

    QString m_name;
    QString m_applicationVersion;
    QString m_fileName;
    QByteArray m_data;
    QList<FirmwareDataRow> m_rows;
    int m_siliconId = 0;
    quint8 m_siliconRev = 0xFF;
    BootloaderUtils::ChecksumType m_checksumType = BootloaderUtils::ChecksumTypeUnknown;
    bool m_parseComplete = false;
};

NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const FirmwareData &firmwareData);

} // namespace NivoraVexbusUsb

Q_DECLARE_METATYPE(NivoraVexbusUsb::FirmwareData)

#endif // FIRMWAREDATA_H
