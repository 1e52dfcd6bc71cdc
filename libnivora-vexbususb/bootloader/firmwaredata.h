// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

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
#include <QSharedDataPointer>

class QFile;

namespace NivoraVexbusUsb {

class FirmwareDataPrivate;
/**
 * @brief A firmware image for the controller, a copyable value.
 *
 * The image text is a header line naming the chip it is built for (silicon
 * ID, revision, checksum type), then one line per flash row. It is parsed on
 * construction or when new data is set; failures show in the log and in
 * isValid(). The type is the meta-type "FirmwareData" and travels in
 * signals by value.
 */
class NIVORAVEXBUSUSB_EXPORT FirmwareData
{
    Q_GADGET
    /// The silicon ID of the chip the image is built for, from the header.
    Q_PROPERTY(int siliconId READ siliconId CONSTANT)
    /// The silicon revision of the chip the image is built for, from the header.
    Q_PROPERTY(int siliconRev READ siliconRevision CONSTANT)

public:
    /// An image is read whole into memory; a file longer than this (16 MiB)
    /// is no image of the controller's flash and is refused.
    static constexpr qint64 maximumFileSize = 16 * 1024 * 1024;

    /// Reads an opened image file whole into data; false, with a warning
    /// naming the limit, for a file longer than maximumFileSize (also one
    /// that does not end, such as a device).
    static bool readFile(QFile *file, QByteArray *data);

    /// An empty, invalid image.
    FirmwareData();
    /// Parses the image text.
    explicit FirmwareData(const QByteArray &data);
    /// Reads and parses the image file; a file that cannot be read gives an
    /// invalid image and a warning.
    explicit FirmwareData(const QString &fileName);
    /// Copies share the data until one of them changes.
    FirmwareData(const FirmwareData &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    FirmwareData(FirmwareData &&other) noexcept;
    /// Shares the data of @p other.
    FirmwareData &operator=(const FirmwareData &other);
    /// Takes the data of @p other, which is left for assignment or destruction only.
    FirmwareData &operator=(FirmwareData &&other) noexcept;
    /// Releases this copy's share of the data.
    ~FirmwareData();

    /// A name for log lines, for example the release's file name.
    QString name() const;
    /// Sets the name for log lines.
    void setName(const QString &name);

    /// The firmware version the image holds, as "X.Y.Z", when known from its release.
    QString applicationVersion() const;
    /// Sets the firmware version the image holds.
    void setApplicationVersion(const QString &applicationVersion);

    /// The file the image was read from, if any.
    QString fileName() const;
    /// Reads the file and parses it; call clear() first to replace rows parsed before.
    void setFileName(const QString &fileName);

    /// The image text.
    QByteArray data() const;
    /// Stores the image text and parses it; call clear() first to replace rows parsed before.
    void setData(const QByteArray &data);

    /// The flash rows in the order of the image.
    QList<FirmwareDataRow> rows() const;
    /// The silicon ID of the target chip; 0 when no header was read.
    int siliconId() const;
    /// The silicon revision of the target chip; 0xFF when no header was read.
    quint8 siliconRev() const;
    /// The checksum type of the bootloader packets; ChecksumTypeUnknown when no header was read.
    BootloaderUtils::ChecksumType checksumType() const;

    /// Parses data(): the header, then each row line; run by the constructors and setters.
    void processData();
    /// Empties the text, the rows and the header fields; name, version and file name stay.
    void clear();

    /// True when the whole image parsed, with a header naming a chip and at
    /// least one row, and every row's checksum byte matches its bytes.
    bool isValid() const;
    /**
     * Why the image is not valid, naming the line where there is one, for
     * example "line 3 is not a flash row (...)"; empty for a valid image.
     */
    QString errorString() const;

    /// True when both hold the same text and name and are both valid or both not.
    bool operator==(const FirmwareData &other) const;
    /// The negation of operator==().
    bool operator!=(const FirmwareData &other) const;

private:
    Q_DECL_HIDDEN int siliconRevision() const;
    Q_DECL_HIDDEN void readHeader(const QByteArray &line);

    QSharedDataPointer<FirmwareDataPrivate> d;
};

/// Writes name, version, silicon ID and revision and the row count, as the library logs an image.
NIVORAVEXBUSUSB_EXPORT QDebug operator<<(QDebug debug, const FirmwareData &firmwareData);

} // namespace NivoraVexbusUsb

Q_DECLARE_METATYPE(NivoraVexbusUsb::FirmwareData)

#endif // FIRMWAREDATA_H
