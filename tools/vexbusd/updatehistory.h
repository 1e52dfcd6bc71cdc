// SPDX-FileCopyrightText: 2026 Nivora
// SPDX-License-Identifier: LGPL-2.1-or-later

#ifndef VEXBUSD_UPDATEHISTORY_H
#define VEXBUSD_UPDATEHISTORY_H

#include "updaterecord.h"

#include <QList>
#include <QObject>

struct sqlite3;

// The gateway's firmware updates, kept in SQLite as DIRECTORY/history.db:
// every update from its start (result "running") to its end, and every
// refusal. Each change is one transaction in write-ahead logging with
// synchronous=FULL: what the service answered is on the disk, and a
// SIGKILL or a power loss at any moment leaves the last committed state.
// Entries still "running" at the next start were interrupted. Only the last
// maximumEntries entries stay. A database that SQLite finds damaged is set
// aside as history.db.damaged-TIME with a warning, and a fresh one begins;
// without a usable directory the service runs on without history.
class UpdateHistory : public QObject
{
    Q_OBJECT

public:
    static constexpr int maximumEntries = 1000;
    static constexpr const char *fileName = "history.db";

    UpdateHistory(const QString &directory, const QString &gatewayId, QObject *parent = nullptr);
    ~UpdateHistory() override;

    bool isOpen() const { return m_database != nullptr; }
    QString gatewayId() const { return m_gatewayId; }

    // Records the start of an update; the gateway, the start time and the
    // result "running" are the history's. Returns the entry's id, 0 when
    // nothing could be recorded.
    qint64 begin(UpdateRecord record);
    // Records the end of the update begun as id.
    void finish(qint64 id, const QString &result, const QString &firmwareAfter, const QString &error, const QString &message);
    // Records a request that was refused before anything was written.
    void recordRefusal(UpdateRecord record);

    // The newest entries first, of one adapter (by its key) or of all.
    QList<UpdateRecord> entries(const QString &adapter = QString(), int limit = maximumEntries) const;
    // The newest ended entry of the adapter; invalid when there is none.
    UpdateRecord lastEnded(const QString &adapter) const;

signals:
    // An entry ended, or a refusal was recorded.
    void entryEnded(const UpdateRecord &record);

private:
    bool open(const QString &path);
    void close();
    bool setUp();
    // Runs one statement with its text arguments; false with a warning.
    bool execute(const char *sql, const QVariantList &arguments = {}, qint64 *rowId = nullptr);
    QList<UpdateRecord> select(const QString &where, const QVariantList &arguments, int limit) const;
    void setAsideIfDamaged(int result);

    QString m_path;
    QString m_gatewayId;
    sqlite3 *m_database = nullptr;
};

#endif // VEXBUSD_UPDATEHISTORY_H
