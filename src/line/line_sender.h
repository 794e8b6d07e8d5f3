#pragma once
#include <QMutex>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <memory>

#include "device_id_allocator.h"
#include "line_settings.h"

class LineDatabase;

// Sends the station's run journal to the line database after the runs wrote it: in journal order,
// each entry once (the server keeps the first of a resend). A cursor in Logs/ (the journal's byte
// offset sent so far, and when to try again after a failure) is shared under a lock by every
// process on the station folder, so only one of them sends at a time and none repeats another's
// work. A server away costs a connection time-out, then a growing pause (up to half a minute)
// during which nobody on the station tries. Use one object from one thread.
class LineSender
{
public:
    enum class Outcome {
        CaughtUp, // nothing left to send
        More,     // the time budget ran out first
        Busy,     // another thread or process is sending
        Away      // the server could not take it; tried again after the pause
    };

    // Whether a send waits out the pause after a failure, or tries at once (asked for by hand).
    enum class Retry { AfterPause, Now };

    LineSender(const QString& stationDir, const LineSettings& settings);
    ~LineSender();

    // Sends what the journal holds beyond the cursor, for about budgetMs at most (-1: until done).
    // Connects only when there is something to send. first, when given, is a journal line sent
    // before the rest (a run's own line, so that it shows at once; sent again in its turn, which
    // the server ignores).
    Outcome sendPending(int budgetMs = -1, const QByteArray& first = {},
                        Retry retry = Retry::AfterPause);
    // Journal entries this sender has sent so far.
    qint64 sent() const { return m_sent; }
    QString lastError() const;

    static QString cursorFile(const QString& stationDir);
    // Journal entries beyond the cursor: those still to be sent.
    static qint64 pendingEntries(const QString& stationDir);

private:
    QString m_stationDir;
    std::unique_ptr<LineDatabase> m_db;
    qint64 m_sent = 0;
};

// A station process's or the window's sender: sends in its own thread whenever the journal has
// grown (looked at every pollMs) or wake() is called, so that no run waits on the server.
class LineSenderThread : public QThread
{
public:
    LineSenderThread(const QString& stationDir, const LineSettings& settings, int pollMs = 250);
    ~LineSenderThread() override; // stops and waits, bounded by a connection time-out

    // A run has ended: send now rather than at the next look.
    void wake();
    // Also keeps the allocator's reserved Device IDs topped up from here, off the runs' path; set
    // before start().
    void setAllocator(DeviceIdAllocator* ids) { m_ids = ids; }

protected:
    void run() override;

private:
    QString m_stationDir;
    LineSettings m_settings;
    int m_pollMs;
    DeviceIdAllocator* m_ids = nullptr;
    QMutex m_mutex;
    QWaitCondition m_woken;
    bool m_wake = false;
    std::atomic<bool> m_stop{false};
};

// The line's Device ID blocks for the station's allocator, one short connection per reservation
// (from whichever thread allocates). After a failure it does not try again for a few seconds, so a
// station with several slots waiting does not pay a connection time-out per slot.
class LineIdBlocks : public IdBlockSource
{
public:
    explicit LineIdBlocks(const LineSettings& settings);
    bool reserveBlock(IdBlock& block) override;

private:
    LineSettings m_settings;
    std::atomic<qint64> m_retryAfterMs{0};
};
