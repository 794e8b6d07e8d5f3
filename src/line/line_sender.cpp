#include "line_sender.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QVector>

#include "file_lock.h"
#include "line_database.h"
#include "regular_file.h"
#include "whole_file.h"

namespace {

// Entries per transaction: large enough that a backlog goes at thousands per second, small enough
// that one batch stays far below the statement time-out.
constexpr int kBatchEntries = 500;
constexpr qint64 kFirstPauseMs = 1000;
constexpr qint64 kLongestPauseMs = 30000;
constexpr int kBlockRetryMs = 5000;

struct Cursor
{
    qint64 offset = 0;
    qint64 retryAfterMs = 0; // since the epoch
    qint64 pauseMs = 0;      // the pause after the last failure; doubles with each one

    static Cursor load(const QString& path)
    {
        Cursor c;
        QFile file(path);
        if (!openRegularFile(file))
            return c;
        const QJsonObject o = QJsonDocument::fromJson(file.readAll()).object();
        c.offset = qMax<qint64>(0, qint64(o.value("offset").toDouble()));
        c.retryAfterMs = qint64(o.value("retry_after_ms").toDouble());
        c.pauseMs = qint64(o.value("pause_ms").toDouble());
        return c;
    }

    bool save(const QString& path) const
    {
        const QByteArray bytes = QJsonDocument(QJsonObject{{"offset", double(offset)},
                                                           {"retry_after_ms", double(retryAfterMs)},
                                                           {"pause_ms", double(pauseMs)}})
                                     .toJson(QJsonDocument::Compact);
        return saveWhole(path, bytes);
    }
};

// Up to kBatchEntries whole lines from offset on; end is the offset after the last one.
QVector<QByteArray> readBatch(QFile& journal, qint64 offset, qint64& end)
{
    QVector<QByteArray> lines;
    end = offset;
    if (!journal.seek(offset))
        return lines;
    while (lines.size() < kBatchEntries) {
        const QByteArray line = journal.readLine();
        // A line still being written (no line end yet) waits for the next time.
        if (!line.endsWith('\n'))
            break;
        end += line.size();
        if (line.size() > 1)
            lines << line.left(line.size() - 1);
    }
    return lines;
}

} // namespace

QString LineSender::cursorFile(const QString& stationDir)
{
    return stationDir + QStringLiteral("/Logs/line_sender.json");
}

LineSender::LineSender(const QString& stationDir, const LineSettings& settings)
    : m_stationDir(stationDir),
      m_db(std::make_unique<LineDatabase>(settings.connection, settings.station))
{}

LineSender::~LineSender() = default;

QString LineSender::lastError() const
{
    return m_db->lastError();
}

qint64 LineSender::pendingEntries(const QString& stationDir)
{
    const Cursor cursor = Cursor::load(cursorFile(stationDir));
    QFile journal(stationDir + QStringLiteral("/Logs/runs.jsonl"));
    if (!openRegularFile(journal))
        return 0;
    if (journal.size() >= cursor.offset && !journal.seek(cursor.offset))
        return 0;
    qint64 count = 0;
    while (!journal.atEnd()) {
        const QByteArray line = journal.readLine();
        count += line.endsWith('\n') && line.size() > 1;
    }
    return count;
}

LineSender::Outcome LineSender::sendPending(int budgetMs, const QByteArray& first, Retry retry)
{
    QElapsedTimer spent;
    spent.start();
    const QString cursorPath = cursorFile(m_stationDir);
    FileLock lock(cursorPath + QStringLiteral(".lock"));
    if (!QDir(m_stationDir).exists(QStringLiteral("Logs")))
        return Outcome::CaughtUp;
    if (!lock.lock(0))
        return Outcome::Busy;
    Cursor cursor = Cursor::load(cursorPath);
    QFile journal(m_stationDir + QStringLiteral("/Logs/runs.jsonl"));
    if (!openRegularFile(journal))
        return Outcome::CaughtUp;
    // A journal shorter than what was sent is a new one: all of it is new.
    if (journal.size() < cursor.offset)
        cursor.offset = 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (journal.size() == cursor.offset)
        return Outcome::CaughtUp;
    if (retry == Retry::AfterPause && now < cursor.retryAfterMs)
        return Outcome::Away;
    const auto away = [&] {
        cursor.pauseMs = qBound(kFirstPauseMs, cursor.pauseMs * 2, kLongestPauseMs);
        cursor.retryAfterMs = QDateTime::currentMSecsSinceEpoch() + cursor.pauseMs;
        if (!cursor.save(cursorPath))
            qDebug() << "Line sender: the cursor could not be written";
        return Outcome::Away;
    };
    QByteArray firstLine = first;
    while (firstLine.endsWith('\n'))
        firstLine.chop(1);
    if (!firstLine.isEmpty() && !m_db->sendEntries({firstLine}))
        return away();
    while (true) {
        qint64 end = cursor.offset;
        const QVector<QByteArray> lines = readBatch(journal, cursor.offset, end);
        if (end == cursor.offset)
            return Outcome::CaughtUp;
        if (!lines.isEmpty() && !m_db->sendEntries(lines))
            return away();
        m_sent += lines.size();
        cursor.offset = end;
        cursor.pauseMs = 0;
        cursor.retryAfterMs = 0;
        // Lost, the same entries go again: harmless, the server keeps the first.
        if (!cursor.save(cursorPath))
            qDebug() << "Line sender: the cursor could not be written";
        if (budgetMs >= 0 && spent.elapsed() >= budgetMs)
            return Outcome::More;
    }
}

LineSenderThread::LineSenderThread(const QString& stationDir, const LineSettings& settings,
                                   int pollMs)
    : m_stationDir(stationDir), m_settings(settings), m_pollMs(pollMs)
{}

LineSenderThread::~LineSenderThread()
{
    m_stop = true;
    wake();
    wait();
}

void LineSenderThread::wake()
{
    QMutexLocker locker(&m_mutex);
    m_wake = true;
    m_woken.wakeAll();
}

void LineSenderThread::run()
{
    // Made here: its connection belongs to this thread.
    LineSender sender(m_stationDir, m_settings);
    while (!m_stop) {
        // In slices, so that stopping waits for one batch at most.
        while (!m_stop && sender.sendPending(200) == LineSender::Outcome::More) {
        }
        // Fails while the line is away; the next look tries again.
        if (m_ids)
            (void)m_ids->topUp();
        QMutexLocker locker(&m_mutex);
        if (!m_wake && !m_stop)
            m_woken.wait(&m_mutex, m_pollMs);
        m_wake = false;
    }
}

LineIdBlocks::LineIdBlocks(const LineSettings& settings) : m_settings(settings)
{}

bool LineIdBlocks::reserveBlock(IdBlock& block)
{
    if (QDateTime::currentMSecsSinceEpoch() < m_retryAfterMs)
        return false;
    LineDatabase db(m_settings.connection, m_settings.station);
    if (db.reserveBlock(quint64(m_settings.blockSize), block))
        return true;
    qDebug().noquote() << "Line database: no Device ID block:" << db.lastError();
    m_retryAfterMs = QDateTime::currentMSecsSinceEpoch() + kBlockRetryMs;
    return false;
}
