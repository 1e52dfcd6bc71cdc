// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#include "updatehistory.h"
#include "vexbusdlogging.h"

#include <QDir>
#include <QFile>

#include <sqlite3.h>

namespace {

constexpr const char *columns = "id, gateway, adapter, serial_number, firmware_before, firmware_after, image_sha256, "
                                "release_version, release_channel, release_signed, trigger, requester, started, ended, "
                                "result, error, message";

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QString text(sqlite3_stmt *statement, int column)
{
    const auto *value = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    return value ? QString::fromUtf8(value) : QString();
}

bool isDamage(int result)
{
    return (result & 0xff) == SQLITE_CORRUPT || (result & 0xff) == SQLITE_NOTADB;
}

// A prepared statement that finalizes itself.
class Statement
{
public:
    Statement(sqlite3 *database, const char *sql) { m_result = sqlite3_prepare_v2(database, sql, -1, &m_statement, nullptr); }
    Statement(sqlite3 *database, const QByteArray &sql) : Statement(database, sql.constData()) {}
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool bind(const QVariantList &arguments)
    {
        for (int i = 0; m_result == SQLITE_OK && i < arguments.count(); ++i) {
            const QVariant &argument = arguments.at(i);
            if (argument.userType() == QMetaType::LongLong || argument.userType() == QMetaType::Int
                    || argument.userType() == QMetaType::Bool) {
                m_result = sqlite3_bind_int64(m_statement, i + 1, argument.toLongLong());
            } else {
                const QByteArray value = argument.toString().toUtf8();
                m_result = sqlite3_bind_text(m_statement, i + 1, value.constData(), int(value.size()), SQLITE_TRANSIENT);
            }
        }
        return m_result == SQLITE_OK;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step()
    {
        if (m_result == SQLITE_OK || m_result == SQLITE_ROW)
            m_result = sqlite3_step(m_statement);
        return m_result;
    }
    int result() const { return m_result; }
    sqlite3_stmt *handle() const { return m_statement; }

private:
    sqlite3_stmt *m_statement = nullptr;
    int m_result = SQLITE_OK;
};

} // namespace

QVariantMap UpdateRecord::toVariantMap() const
{
    return QVariantMap{
        {QStringLiteral("id"), id},
        {QStringLiteral("gateway"), gateway},
        {QStringLiteral("adapter"), adapter},
        {QStringLiteral("serial_number"), serialNumber},
        {QStringLiteral("firmware_before"), firmwareBefore},
        {QStringLiteral("firmware_after"), firmwareAfter},
        {QStringLiteral("image_sha256"), imageSha256},
        {QStringLiteral("release_version"), releaseVersion},
        {QStringLiteral("release_channel"), releaseChannel},
        {QStringLiteral("release_signed"), releaseSigned},
        {QStringLiteral("trigger"), trigger},
        {QStringLiteral("requester"), requester},
        {QStringLiteral("started"), timeText(started)},
        {QStringLiteral("ended"), timeText(ended)},
        {QStringLiteral("result"), result},
        {QStringLiteral("error"), error},
        {QStringLiteral("message"), message},
    };
}

QJsonObject UpdateRecord::toJson() const
{
    return QJsonObject::fromVariantMap(toVariantMap());
}

UpdateHistory::UpdateHistory(const QString &directory, const QString &gatewayId, QObject *parent)
    : QObject(parent),
      m_path(QDir(directory).filePath(QLatin1String(fileName))),
      m_gatewayId(gatewayId)
{
    if (!QDir().mkpath(directory)) {
        qCWarning(dcVexbusd()) << "Cannot create the state directory" << directory << "; the service keeps no update history";
        return;
    }
    if (open(m_path))
        return;
    if (!isDamage(sqlite3_errcode(m_database))) {
        qCWarning(dcVexbusd()) << "Cannot open the update history" << m_path << ":" << sqlite3_errmsg(m_database)
                               << "; the service keeps no update history";
        close();
        return;
    }
    setAsideIfDamaged(sqlite3_errcode(m_database));
    if (!open(m_path)) {
        qCWarning(dcVexbusd()) << "Cannot start a fresh update history" << m_path << ":" << sqlite3_errmsg(m_database);
        close();
    }
}

UpdateHistory::~UpdateHistory()
{
    close();
}

void UpdateHistory::close()
{
    if (m_database)
        sqlite3_close(m_database);
    m_database = nullptr;
}

bool UpdateHistory::open(const QString &path)
{
    close();
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_database, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
            != SQLITE_OK)
        return false;
    sqlite3_extended_result_codes(m_database, 1);
    // Another process (a backup, sqlite3 in a shell) may hold a lock for a moment.
    sqlite3_busy_timeout(m_database, 2000);
    return setUp();
}

bool UpdateHistory::setUp()
{
    // SQLite reads the file first here: a file that is no database, or a
    // damaged one, fails from this point on.
    // A thousand entries of a few hundred bytes are read now and then: a
    // small page cache does, instead of SQLite's 2 MiB in a service that
    // should stay small.
    for (const char *sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA cache_size=-64"}) {
        Statement statement(m_database, sql);
        if (statement.step() != SQLITE_ROW && statement.result() != SQLITE_DONE)
            return false;
    }
    {
        Statement check(m_database, "PRAGMA quick_check");
        if (check.step() != SQLITE_ROW)
            return false;
        if (text(check.handle(), 0) != QLatin1String("ok")) {
            qCWarning(dcVexbusd()) << "SQLite finds the update history" << m_path << "damaged:" << text(check.handle(), 0);
            setAsideIfDamaged(SQLITE_CORRUPT);
            return open(m_path);
        }
    }
    if (sqlite3_exec(m_database, "CREATE TABLE IF NOT EXISTS history ("
                                 "id INTEGER PRIMARY KEY AUTOINCREMENT, gateway TEXT, adapter TEXT, serial_number TEXT, "
                                 "firmware_before TEXT, firmware_after TEXT, image_sha256 TEXT, release_version TEXT, "
                                 "release_channel TEXT, release_signed INTEGER, trigger TEXT, requester TEXT, "
                                 "started TEXT, ended TEXT, result TEXT, error TEXT, message TEXT)", nullptr, nullptr, nullptr) != SQLITE_OK)
        return false;
    // What ran when the service ended without saying so (SIGKILL, power
    // loss) did not end well, whatever the controller runs now.
    return execute("UPDATE history SET result = ?, ended = ?, error = ?, message = ? WHERE result = ?",
                   {QLatin1String(UpdateRecord::resultInterrupted), timeText(QDateTime::currentDateTimeUtc()),
                    QStringLiteral("interrupted"),
                    QStringLiteral("The service ended during the update; check the adapter's firmware and update it again."),
                    QLatin1String(UpdateRecord::resultRunning)});
}

void UpdateHistory::setAsideIfDamaged(int result)
{
    if (!isDamage(result))
        return;
    close();
    const QString aside = m_path + QStringLiteral(".damaged-") + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmsszzz"));
    qCWarning(dcVexbusd()) << "The update history" << m_path << "is damaged; it is set aside as" << aside << "and a fresh one begins";
    QFile::rename(m_path, aside);
    // The journal of a damaged database belongs to it.
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFile::exists(m_path + suffix))
            QFile::rename(m_path + suffix, aside + suffix);
    }
}

bool UpdateHistory::execute(const char *sql, const QVariantList &arguments, qint64 *rowId)
{
    if (!m_database)
        return false;
    int result = SQLITE_OK;
    {
        Statement statement(m_database, sql);
        if (statement.bind(arguments))
            statement.step();
        result = statement.result();
    }
    if (result != SQLITE_DONE) {
        qCWarning(dcVexbusd()) << "Cannot write the update history" << m_path << ":" << sqlite3_errstr(result);
        if (isDamage(result)) {
            setAsideIfDamaged(result);
            open(m_path);
        }
        return false;
    }
    if (rowId)
        *rowId = sqlite3_last_insert_rowid(m_database);
    return true;
}

qint64 UpdateHistory::begin(UpdateRecord record)
{
    record.gateway = m_gatewayId;
    if (!record.started.isValid())
        record.started = QDateTime::currentDateTimeUtc();
    if (record.result.isEmpty())
        record.result = QLatin1String(UpdateRecord::resultRunning);
    qint64 id = 0;
    if (!execute("INSERT INTO history (gateway, adapter, serial_number, firmware_before, firmware_after, image_sha256, "
                 "release_version, release_channel, release_signed, trigger, requester, started, ended, result, error, message) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                 {record.gateway, record.adapter, record.serialNumber, record.firmwareBefore, record.firmwareAfter,
                  record.imageSha256, record.releaseVersion, record.releaseChannel, qint64(record.releaseSigned),
                  record.trigger, record.requester, timeText(record.started), timeText(record.ended), record.result,
                  record.error, record.message}, &id))
        return 0;
    // The oldest go; the limit holds after every entry.
    execute("DELETE FROM history WHERE id NOT IN (SELECT id FROM history ORDER BY id DESC LIMIT ?)", {qint64(maximumEntries)});
    return id;
}

void UpdateHistory::finish(qint64 id, const QString &result, const QString &firmwareAfter, const QString &error,
                           const QString &message)
{
    if (id <= 0 || !execute("UPDATE history SET result = ?, firmware_after = ?, ended = ?, error = ?, message = ? WHERE id = ?",
                            {result, firmwareAfter, timeText(QDateTime::currentDateTimeUtc()), error, message, id}))
        return;
    const QList<UpdateRecord> ended = select(QStringLiteral("id = ?"), {id}, 1);
    if (!ended.isEmpty())
        emit entryEnded(ended.first());
}

void UpdateHistory::recordRefusal(UpdateRecord record)
{
    record.started = QDateTime::currentDateTimeUtc();
    record.ended = record.started;
    record.result = QLatin1String(UpdateRecord::resultRefused);
    const qint64 id = begin(record);
    if (id <= 0)
        return;
    record.id = id;
    record.gateway = m_gatewayId;
    emit entryEnded(record);
}

QList<UpdateRecord> UpdateHistory::entries(const QString &adapter, int limit) const
{
    return adapter.isEmpty() ? select(QString(), {}, limit) : select(QStringLiteral("adapter = ?"), {adapter}, limit);
}

UpdateRecord UpdateHistory::lastEnded(const QString &adapter) const
{
    const QList<UpdateRecord> last = select(QStringLiteral("adapter = ? AND result != ?"),
                                            {adapter, QLatin1String(UpdateRecord::resultRunning)}, 1);
    return last.isEmpty() ? UpdateRecord() : last.first();
}

QList<UpdateRecord> UpdateHistory::select(const QString &where, const QVariantList &arguments, int limit) const
{
    QList<UpdateRecord> records;
    if (!m_database)
        return records;
    const QByteArray sql = QByteArrayLiteral("SELECT ") + columns + " FROM history"
            + (where.isEmpty() ? QByteArray() : " WHERE " + where.toLatin1()) + " ORDER BY id DESC LIMIT " + QByteArray::number(limit);
    Statement statement(m_database, sql);
    if (!statement.bind(arguments))
        return records;
    while (statement.step() == SQLITE_ROW) {
        sqlite3_stmt *row = statement.handle();
        UpdateRecord record;
        record.id = sqlite3_column_int64(row, 0);
        record.gateway = text(row, 1);
        record.adapter = text(row, 2);
        record.serialNumber = text(row, 3);
        record.firmwareBefore = text(row, 4);
        record.firmwareAfter = text(row, 5);
        record.imageSha256 = text(row, 6);
        record.releaseVersion = text(row, 7);
        record.releaseChannel = text(row, 8);
        record.releaseSigned = sqlite3_column_int64(row, 9) != 0;
        record.trigger = text(row, 10);
        record.requester = text(row, 11);
        record.started = QDateTime::fromString(text(row, 12), Qt::ISODateWithMs);
        record.ended = QDateTime::fromString(text(row, 13), Qt::ISODateWithMs);
        record.result = text(row, 14);
        record.error = text(row, 15);
        record.message = text(row, 16);
        records.append(record);
    }
    if (statement.result() != SQLITE_DONE)
        qCWarning(dcVexbusd()) << "Cannot read the update history" << m_path << ":" << sqlite3_errstr(statement.result());
    return records;
}
