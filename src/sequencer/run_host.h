#pragma once
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

#include "logger.h"

class Flashing_c;
class QThread;

class IdBlockSource;

// What the line's database says of a Device ID: whether it could be asked, and the unit produced
// under it there.
struct LineUnitAnswer
{
    bool asked = false;
    bool produced = false;
    QString station;
    QString run;
    QString time; // when that run ended, UTC
};
// Asks the line about an ID, from the run's thread; bounded by the connection's time-out.
using LineUnitLookup = std::function<LineUnitAnswer(quint64 id)>;

// What one run is asked to do; the window's widgets or the command line fill it in.
struct RunSettings
{
    enum class Kind { Production, Test, Retest, Fetch };
    Kind kind = Kind::Production;
    quint64 deviceId = 0;
    bool setDeviceId = true;
    bool skipBootloader = true; // read for production only: the others always skip it
    QString fetchFolder;        // fetch: the local folder that receives the files
    quint16 fetchSelector = 0;
    QStringList fetchNames;
    QString jlinkSerial; // test: the J-Link probe's serial number; empty: the only one
    // Only these ports (a fixture's, or a link to its hub port); empty: every device port.
    QStringList ports;
    // Production: the Device ID comes from the station's allocator when the run writes it (from
    // firstId the first time), not from deviceId.
    bool stationIds = false;
    quint64 firstId = 0;
    // How long the unit may be away in a restart the run waits for; 0: until the run is stopped.
    int unitReturnLimitMs = 0;
    // On a line: the station's name in the journal (empty: the host name), the blocks the
    // station's IDs come from (they outlive the run), and the line's word on the operator's ID.
    QString station;
    IdBlockSource* idBlocks = nullptr;
    quint64 blockSize = 0;
    LineUnitLookup lineUnit;
};

// Hosts one run at a time for the window and the command-line runner alike: makes the worker for
// the settings (its folder, run body and the skip-bootloader rule), runs it in the given thread,
// passes its log on decoded, and ends it: stop flag, quit, bounded by the run's own checks. The
// front ends see a run only through its signals. Every log line of a run also goes to the
// station's day log, and every run that was started leaves one line in the run journal when it
// ends; neither can change the run's result.
class RunHost : public QObject
{
    Q_OBJECT
public:
    RunHost(QThread& thread, Logger_c& logger);
    ~RunHost() override;

    // Makes the worker of a run and starts its run body in the thread; null when a run is still
    // going. setUp, when given, adjusts the worker before its run begins (tests shorten its
    // time-outs).
    Flashing_c* start(const RunSettings& settings,
                      const std::function<void(Flashing_c&)>& setUp = {});
    // Asks the run to stop: it returns at its next check, within a read window. The first cause
    // given is the one the journal keeps for a run that ends stopped ("stop", "time limit",
    // "window closed").
    void stop(const QString& cause = QStringLiteral("stop"));
    // Stops the run and waits for its thread, then writes the run's journal line; the worker is
    // kept for what is still queued.
    void join();
    // join(), then deletes the worker, which closes the device port if still open.
    void end();
    // The run's id in the journal and the day log.
    QString runId() const { return m_runId; }
    // The journal line of the run that ended last; empty before.
    QByteArray journalLine() const { return m_journalLine; }

signals:
    // One line of the run for the operator; label: it goes onto the progress label too.
    void sigLine(QString text, LogColour colour, bool label);
    void sigProgress(int value);
    void sigTransferProgress(QString fileName, qint64 done, qint64 total);
    // The Device ID the unit holds as far as the run knows: read when it was found (written
    // false), then the one written into it.
    void sigDeviceId(quint64 id, bool written);
    // The run body reported its end; a stopped run reports nothing.
    void sigFinished(bool success);

private:
    // Hands the new worker to the thread and starts its run, with a new run id and start time.
    void beginRun();
    // Every line of the run, on the thread that logs it: into the day log, and the last red one
    // noted as the reason of a failure.
    void onLine(const QString& text, LogColour colour);
    // A tool's output line: into the day log only, with the word "tool".
    void onTrace(const QString& text);
    void appendToDayLog(const QString& word, const QString& text);
    void writeJournal();
    // One red line per run at most, whichever write failed first: shown as a line of the run and
    // put into the day log, but past the logger, so its own write goes round no loop and it is
    // never taken for the reason of a failure.
    void reportWriteError();

    QThread& m_thread;
    Logger_c& m_logger;
    Flashing_c* m_worker = nullptr;
    RunSettings m_settings;
    QString m_runId;
    QDateTime m_start;
    // Written by the run's thread while it runs and read here after it has ended.
    QDateTime m_end;
    QString m_lastRedLine;
    QString m_stopCause;
    QByteArray m_journalLine;
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_writeErrorShown{false};
};
