#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QSqlDatabase>
#include <QString>
#include <QVector>
#include <functional>
#include <memory>

#include "id_ranges.h"
#include "line_settings.h"

class QSqlError;
class QSqlQuery;

// One station's connection to the line database, for the thread that made it (Qt SQL
// connections must stay in their thread): the schema, the runs and units sent from the journal,
// the Device ID blocks, and the runs read back for the line's report. A failed statement closes
// the connection, so the next call connects afresh; every statement is bounded by a time-out.
class LineDatabase
{
public:
    static constexpr int kSchemaVersion = 2;

    LineDatabase(const ConnectionParams& params, const QString& station);
    ~LineDatabase();
    LineDatabase(const LineDatabase&) = delete;
    LineDatabase& operator=(const LineDatabase&) = delete;

    // Connects when not connected, and creates or upgrades the schema the first time.
    [[nodiscard]] bool open();
    QString lastError() const { return m_lastError; }

    // Creates the schema or upgrades it up to the given version, in one transaction; a schema that
    // is already there is left as it is. 0 when there is none.
    [[nodiscard]] bool initSchema(int upTo = kSchemaVersion);
    int schemaVersion();
    // Where the line's Device IDs start; blocks begin there, or after the last block, whichever
    // is higher, so moving it never makes two blocks overlap.
    [[nodiscard]] bool setFirstId(quint64 first);
    // Reserves the line's next block of size IDs for this station, in one transaction.
    [[nodiscard]] bool reserveBlock(quint64 size, IdBlock& block);

    // Stores journal lines as runs, and the units their successful production runs made, in one
    // transaction. A run already stored is left as it is, and so is a unit: another unit under
    // its ID is recorded as a conflict. Lines that are no journal entry are skipped.
    [[nodiscard]] bool sendEntries(const QVector<QByteArray>& lines);
    // The stored runs as journal lines (JSON objects), in order of their start: of one station or
    // all (station empty), from and before the given times (invalid: no bound).
    [[nodiscard]] bool readRuns(const QString& station, const QDateTime& from, const QDateTime& to,
                                const std::function<void(const QByteArray&)>& entry);

    // The unit the line produced under a Device ID: the station and run that made it and when
    // that run ended (UTC). found false when the line has none.
    struct Unit
    {
        bool found = false;
        QString station;
        QString run;
        QString time;
    };
    [[nodiscard]] bool findUnit(quint64 id, Unit& unit);
    // The line at a glance, one line each: the schema version, the first Device ID, per station
    // its runs and its last, and the blocks it holds.
    [[nodiscard]] bool describe(QStringList& lines);

    QSqlDatabase connection() const;

private:
    bool fail(const QSqlError& error);
    bool exec(QSqlQuery& query);
    bool execAll(const QStringList& statements);
    bool sendEntry(const QByteArray& line);

    QString m_name;
    ConnectionParams m_params;
    QString m_station;
    QString m_lastError;
    QString m_lastCode; // the last error's SQLSTATE
    bool m_schemaChecked = false;
    struct Prepared;
    std::unique_ptr<Prepared> m_prepared;
};
