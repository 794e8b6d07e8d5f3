#include "line_database.h"

#include <QAtomicInt>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>

namespace {

// A statement the server has not finished by then is given up, so a stuck server costs a sender
// or a block reservation this long at most.
constexpr int kStatementTimeoutMs = 10000;
// One schema change at a time on the line: the key of the transaction's advisory lock.
constexpr int kSchemaLockKey = 0x76656c;

// The schema's steps: each brings it from the version before to its own; a step never changes
// once released, later changes come as a new step.
const QStringList kSchemaSteps[LineDatabase::kSchemaVersion] = {
    // 1: runs and units.
    {QStringLiteral("CREATE DOMAIN device_id AS numeric(20,0)"
                    " CHECK (VALUE >= 0 AND VALUE <= 18446744073709551615)"),
     QStringLiteral("CREATE TABLE schema_version (version integer NOT NULL)"),
     QStringLiteral("INSERT INTO schema_version VALUES (0)"),
     // One row per journal entry; seq is the order in which they arrived.
     QStringLiteral("CREATE TABLE runs (station text NOT NULL, run text NOT NULL,"
                    " seq bigint GENERATED ALWAYS AS IDENTITY UNIQUE, kind text,"
                    " start_time timestamptz, end_time timestamptz, result text, error text,"
                    " device_id device_id, port text, firmware text, files jsonb,"
                    " entry jsonb NOT NULL, received timestamptz NOT NULL DEFAULT now(),"
                    " PRIMARY KEY (station, run))"),
     QStringLiteral("CREATE TABLE units (device_id device_id PRIMARY KEY, key text,"
                    " wifi_mac text, ethernet_mac text, station text NOT NULL, run text NOT NULL,"
                    " first_seen timestamptz NOT NULL, last_seen timestamptz NOT NULL)"),
     QStringLiteral("CREATE TABLE unit_conflicts (station text NOT NULL, run text NOT NULL,"
                    " device_id device_id NOT NULL, key text, wifi_mac text, ethernet_mac text,"
                    " seen timestamptz NOT NULL, PRIMARY KEY (station, run))")},
    // 2: Device IDs handed out by the line in blocks, and the line's report by period.
    {QStringLiteral("CREATE TABLE line (one boolean PRIMARY KEY DEFAULT true CHECK (one),"
                    " first_id device_id NOT NULL)"),
     QStringLiteral("CREATE TABLE id_blocks (first_id device_id PRIMARY KEY,"
                    " last_id device_id NOT NULL, station text NOT NULL,"
                    " reserved timestamptz NOT NULL DEFAULT now(), CHECK (first_id <= last_id),"
                    " EXCLUDE USING gist (numrange(first_id, last_id, '[]') WITH &&))"),
     QStringLiteral("CREATE INDEX runs_start ON runs (start_time)")}};

// runs: one row per journal entry, the whole line kept so that later fields travel too.
const char* const kInsertRun =
    "INSERT INTO runs (station, run, kind, start_time, end_time, result, error, device_id, port,"
    " firmware, files, entry) VALUES (?, ?, ?, ?::timestamptz, ?::timestamptz, ?, ?,"
    " ?::numeric, ?, ?, ?::jsonb, ?::jsonb) ON CONFLICT (station, run) DO NOTHING RETURNING 1";
const char* const kSelectRuns = "SELECT entry::text FROM runs";
const char* const kRunsByStation =
    "SELECT station, count(*), to_char(max(end_time), 'YYYY-MM-DD HH24:MI:SS') FROM runs"
    " GROUP BY station ORDER BY station";
const char* const kRunsOrder = " ORDER BY start_time, seq";

// units: the first unit under an ID stays; the same unit seen again fills in what it lacked.
const char* const kUpsertUnit =
    "INSERT INTO units AS u (device_id, key, wifi_mac, ethernet_mac, station, run, first_seen,"
    " last_seen) VALUES (?::numeric, ?, ?, ?, ?, ?, ?::timestamptz, ?::timestamptz)"
    " ON CONFLICT (device_id) DO UPDATE SET key = COALESCE(u.key, EXCLUDED.key),"
    " wifi_mac = COALESCE(u.wifi_mac, EXCLUDED.wifi_mac),"
    " ethernet_mac = COALESCE(u.ethernet_mac, EXCLUDED.ethernet_mac),"
    " first_seen = LEAST(u.first_seen, EXCLUDED.first_seen),"
    " last_seen = GREATEST(u.last_seen, EXCLUDED.last_seen)"
    " WHERE (u.key IS NULL OR EXCLUDED.key IS NULL OR u.key = EXCLUDED.key)"
    " AND (u.wifi_mac IS NULL OR EXCLUDED.wifi_mac IS NULL"
    " OR upper(u.wifi_mac) = upper(EXCLUDED.wifi_mac))"
    " AND (u.ethernet_mac IS NULL OR EXCLUDED.ethernet_mac IS NULL"
    " OR upper(u.ethernet_mac) = upper(EXCLUDED.ethernet_mac)) RETURNING 1";

const char* const kSelectUnit =
    "SELECT station, run, to_char(first_seen, 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') FROM units"
    " WHERE device_id = ?::numeric";

// unit_conflicts: another unit recorded under an ID the line already has.
const char* const kInsertConflict =
    "INSERT INTO unit_conflicts (device_id, key, wifi_mac, ethernet_mac, station, run, seen)"
    " VALUES (?::numeric, ?, ?, ?, ?, ?, ?::timestamptz) ON CONFLICT DO NOTHING";

// line and id_blocks: the line's start and the blocks; the row lock on line orders the stations
// that reserve at once, and the exclusion constraint is the second guard against overlap.
const char* const kSetFirstId = "INSERT INTO line (first_id) VALUES (?::numeric)"
                                " ON CONFLICT (one) DO UPDATE SET first_id = EXCLUDED.first_id";
const char* const kLockLine = "SELECT first_id FROM line FOR UPDATE";
const char* const kSelectFirstId = "SELECT first_id::text FROM line";
const char* const kBlocksByStation =
    "SELECT station, count(*), sum(last_id - first_id + 1)::text, max(last_id)::text"
    " FROM id_blocks GROUP BY station ORDER BY station";
const char* const kReserveBlock =
    "INSERT INTO id_blocks (first_id, last_id, station)"
    " SELECT s, LEAST(s + ?::numeric - 1, 18446744073709551615), ? FROM (SELECT GREATEST("
    "(SELECT first_id FROM line), (SELECT COALESCE(max(last_id) + 1, 0) FROM id_blocks)) AS s) b"
    " WHERE s <= 18446744073709551615 RETURNING first_id::text, last_id::text";

QAtomicInt connectionCount;

QVariant text(const QJsonValue& value)
{
    // PostgreSQL text holds no NUL character.
    return value.isString() ? QVariant(value.toString().remove(QChar(0)))
                            : QVariant(QVariant::String);
}

QVariant timeText(const QJsonValue& value)
{
    const QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return t.isValid() ? QVariant(t.toUTC().toString(Qt::ISODateWithMs))
                       : QVariant(QVariant::String);
}

QVariant deviceIdText(const QJsonValue& value)
{
    bool ok = false;
    const quint64 id = value.toString().toULongLong(&ok);
    return ok ? QVariant(QString::number(id)) : QVariant(QVariant::String);
}

// jsonb refuses the escaped NUL character that a JSON text may hold.
QJsonValue withoutNul(const QJsonValue& value)
{
    if (value.isString())
        return value.toString().replace(QChar(0), QChar(0xFFFD));
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& v : value.toArray())
            array << withoutNul(v);
        return array;
    }
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            it.value() = withoutNul(it.value());
        return object;
    }
    return value;
}

} // namespace

struct LineDatabase::Prepared
{
    explicit Prepared(const QSqlDatabase& db) : run(db), unit(db), conflict(db) {}
    QSqlQuery run;
    QSqlQuery unit;
    QSqlQuery conflict;
};

LineDatabase::LineDatabase(const ConnectionParams& params, const QString& station)
    : m_name(QStringLiteral("veltora-line-%1").arg(connectionCount.fetchAndAddRelaxed(1))),
      m_params(params),
      m_station(station)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
    db.setHostName(params.host);
    db.setPort(params.port);
    db.setDatabaseName(params.database);
    db.setUserName(params.user);
    db.setPassword(params.password);
    db.setConnectOptions(params.options);
}

LineDatabase::~LineDatabase()
{
    m_prepared.reset();
    QSqlDatabase::database(m_name, false).close();
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase LineDatabase::connection() const
{
    return QSqlDatabase::database(m_name, false);
}

bool LineDatabase::fail(const QSqlError& error)
{
    m_lastError = error.text();
    m_lastCode = error.nativeErrorCode();
    qDebug().noquote() << "Line database:" << m_lastError;
    // Closed, so the next call starts on a fresh connection after a server restart; closed first,
    // so the prepared statements are not freed on a connection that is gone.
    connection().close();
    m_prepared.reset();
    return false;
}

bool LineDatabase::exec(QSqlQuery& query)
{
    return query.exec() || fail(query.lastError());
}

bool LineDatabase::execAll(const QStringList& statements)
{
    for (const QString& statement : statements) {
        QSqlQuery query(connection());
        if (!query.exec(statement))
            return fail(query.lastError());
    }
    return true;
}

bool LineDatabase::open()
{
    QSqlDatabase db = connection();
    if (db.isOpen())
        return true;
    if (!db.open())
        return fail(connection().lastError());
    if (!execAll({QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs),
                  QStringLiteral("SET TIME ZONE 'UTC'"),
                  QStringLiteral("SET client_min_messages = warning")}))
        return false;
    if (!m_schemaChecked && schemaVersion() < kSchemaVersion && !initSchema())
        return false;
    m_schemaChecked = true;
    m_prepared = std::make_unique<Prepared>(db);
    if (!m_prepared->run.prepare(QLatin1String(kInsertRun)))
        return fail(m_prepared->run.lastError());
    if (!m_prepared->unit.prepare(QLatin1String(kUpsertUnit)))
        return fail(m_prepared->unit.lastError());
    if (!m_prepared->conflict.prepare(QLatin1String(kInsertConflict)))
        return fail(m_prepared->conflict.lastError());
    return true;
}

int LineDatabase::schemaVersion()
{
    QSqlQuery query(connection());
    if (!query.exec(QStringLiteral("SELECT to_regclass('schema_version') IS NOT NULL")) ||
        !query.next()) {
        fail(query.lastError());
        return -1;
    }
    if (!query.value(0).toBool())
        return 0;
    if (!query.exec(QStringLiteral("SELECT max(version) FROM schema_version")) || !query.next()) {
        fail(query.lastError());
        return -1;
    }
    return query.value(0).toInt();
}

bool LineDatabase::initSchema(int upTo)
{
    QSqlDatabase db = connection();
    if (!db.isOpen() && !db.open())
        return fail(connection().lastError());
    if (!db.transaction())
        return fail(connection().lastError());
    if (!execAll({QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLockKey)}))
        return false;
    const int current = schemaVersion();
    if (current < 0)
        return false;
    for (int version = current + 1; version <= qMin(upTo, kSchemaVersion); ++version) {
        if (!execAll(kSchemaSteps[version - 1]) ||
            !execAll({QStringLiteral("UPDATE schema_version SET version = %1").arg(version)}))
            return false;
    }
    return db.commit() || fail(connection().lastError());
}

bool LineDatabase::setFirstId(quint64 first)
{
    if (!open())
        return false;
    QSqlQuery query(connection());
    query.prepare(QLatin1String(kSetFirstId));
    query.addBindValue(QString::number(first));
    return exec(query);
}

bool LineDatabase::reserveBlock(quint64 size, IdBlock& block)
{
    if (!open())
        return false;
    QSqlDatabase db = connection();
    QSqlQuery lock(db);
    if (!db.transaction() || !lock.exec(QLatin1String(kLockLine)))
        return fail(lock.lastError());
    if (!lock.next()) {
        db.rollback();
        m_lastError = QStringLiteral("the line has no first Device ID yet");
        return false;
    }
    QSqlQuery insert(db);
    insert.prepare(QLatin1String(kReserveBlock));
    insert.addBindValue(QString::number(size));
    insert.addBindValue(m_station);
    if (!exec(insert))
        return false;
    if (!insert.next()) {
        db.rollback();
        m_lastError = QStringLiteral("the line has no Device ID left");
        return false;
    }
    block.first = insert.value(0).toString().toULongLong();
    block.last = insert.value(1).toString().toULongLong();
    return db.commit() || fail(connection().lastError());
}

bool LineDatabase::sendEntry(const QByteArray& line)
{
    const QJsonObject e = QJsonDocument::fromJson(line).object();
    if (!e.value("run").isString()) {
        qDebug() << "Line database: a journal line that is no entry was skipped";
        return true;
    }
    const QVariant station = e.value("station").isString() ? text(e.value("station")) : m_station;
    const QVariant run = text(e.value("run"));
    const QVariant end = timeText(e.value("end"));
    const QVariant deviceId = deviceIdText(e.value("device_id"));
    const QByteArray entry =
        line.contains("\\u0000")
            ? QJsonDocument(withoutNul(e).toObject()).toJson(QJsonDocument::Compact)
            : line;
    QSqlQuery& insertRun = m_prepared->run;
    for (const QVariant& v :
         {station, run, text(e.value("kind")), timeText(e.value("start")), end,
          text(e.value("result")), text(e.value("error")), deviceId, text(e.value("port")),
          text(e.value("firmware")),
          QVariant(QString::fromUtf8(QJsonDocument(withoutNul(e.value("files")).toArray())
                                         .toJson(QJsonDocument::Compact))),
          QVariant(QString::fromUtf8(entry))})
        insertRun.addBindValue(v);
    if (!exec(insertRun))
        return false;
    // Sent before: its unit went with it.
    const bool fresh = insertRun.next();
    insertRun.finish();
    const bool madeUnit = e.value("kind") == "production" && e.value("result") == "success" &&
                          e.value("device_id_written").toBool() && !deviceId.isNull();
    if (!fresh || !madeUnit)
        return true;
    const QVariantList unit = {deviceId,
                               text(e.value("key")),
                               text(e.value("wifi_mac")),
                               text(e.value("ethernet_mac")),
                               station,
                               run};
    QSqlQuery& upsert = m_prepared->unit;
    for (const QVariant& v : unit)
        upsert.addBindValue(v);
    upsert.addBindValue(end);
    upsert.addBindValue(end);
    if (!exec(upsert))
        return false;
    const bool stored = upsert.next();
    upsert.finish();
    if (stored)
        return true;
    QSqlQuery& conflict = m_prepared->conflict;
    for (const QVariant& v : unit)
        conflict.addBindValue(v);
    conflict.addBindValue(end);
    const bool ok = exec(conflict);
    conflict.finish();
    return ok;
}

bool LineDatabase::sendEntries(const QVector<QByteArray>& lines)
{
    auto sendAll = [this](const QVector<QByteArray>& batch) {
        m_lastCode.clear();
        if (!open())
            return false;
        QSqlDatabase db = connection();
        if (!db.transaction())
            return fail(connection().lastError());
        for (const QByteArray& line : batch) {
            if (!sendEntry(line))
                return false;
        }
        return db.commit() || fail(connection().lastError());
    };
    if (sendAll(lines))
        return true;
    // One entry the server refuses for its data must not hold up the line's record for good:
    // entry by entry, and one refused on its own is skipped (the journal still has it).
    for (const QByteArray& line : lines) {
        if (sendAll({line}))
            continue;
        // SQLSTATE class 22: the data, not the server or the connection.
        if (!m_lastCode.startsWith(QLatin1String("22")))
            return false;
        qDebug().noquote() << "Line database: a journal entry refused by the server was skipped:"
                           << m_lastError;
    }
    return true;
}

bool LineDatabase::readRuns(const QString& station, const QDateTime& from, const QDateTime& to,
                            const std::function<void(const QByteArray&)>& entry)
{
    if (!open())
        return false;
    QStringList where;
    QVariantList values;
    if (!station.isEmpty()) {
        where << QStringLiteral("station = ?");
        values << station;
    }
    if (from.isValid()) {
        where << QStringLiteral("start_time >= ?::timestamptz");
        values << from.toUTC().toString(Qt::ISODateWithMs);
    }
    if (to.isValid()) {
        where << QStringLiteral("start_time < ?::timestamptz");
        values << to.toUTC().toString(Qt::ISODateWithMs);
    }
    QSqlQuery query(connection());
    query.setForwardOnly(true);
    query.prepare(QLatin1String(kSelectRuns) +
                  (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(" AND ")) +
                  QLatin1String(kRunsOrder));
    for (const QVariant& v : values)
        query.addBindValue(v);
    if (!exec(query))
        return false;
    while (query.next())
        entry(query.value(0).toString().toUtf8());
    return true;
}

bool LineDatabase::findUnit(quint64 id, Unit& unit)
{
    unit = Unit();
    if (!open())
        return false;
    QSqlQuery query(connection());
    query.prepare(QLatin1String(kSelectUnit));
    query.addBindValue(QString::number(id));
    if (!exec(query))
        return false;
    if (query.next()) {
        unit.found = true;
        unit.station = query.value(0).toString();
        unit.run = query.value(1).toString();
        unit.time = query.value(2).toString();
    }
    return true;
}

bool LineDatabase::describe(QStringList& lines)
{
    if (!open())
        return false;
    lines << QStringLiteral("Schema version: %1").arg(schemaVersion());
    QSqlQuery query(connection());
    if (!query.exec(QLatin1String(kSelectFirstId)))
        return fail(query.lastError());
    lines << QStringLiteral("First Device ID: ") +
                 (query.next() ? query.value(0).toString() : QStringLiteral("none yet"));
    if (!query.exec(QLatin1String(kRunsByStation)))
        return fail(query.lastError());
    const auto counted = [](const QVariant& n, const char* one, const char* many) {
        return n.toString() + QLatin1Char(' ') + QLatin1String(n.toInt() == 1 ? one : many);
    };
    while (query.next())
        lines << QStringLiteral("Station %1: %2, the last ended %3 UTC")
                     .arg(query.value(0).toString(), counted(query.value(1), "run", "runs"),
                          query.value(2).toString());
    if (!query.exec(QLatin1String(kBlocksByStation)))
        return fail(query.lastError());
    while (query.next())
        lines << QStringLiteral("Station %1: %2 of Device IDs, %3, up to %4")
                     .arg(query.value(0).toString(), counted(query.value(1), "block", "blocks"),
                          counted(query.value(2), "ID", "IDs"), query.value(3).toString());
    return true;
}
