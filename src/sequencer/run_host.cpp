#include "run_host.h"

#include <QRandomGenerator>
#include <QSysInfo>
#include <QThread>

#include "flashing.h"
#include "logger.h"
#include "run_journal.h"
#include "station.h"
#include "version.h"

namespace {

const char* kindName(RunSettings::Kind kind)
{
    switch (kind) {
    case RunSettings::Kind::Production:
        return "production";
    case RunSettings::Kind::Test:
        return "test";
    case RunSettings::Kind::Retest:
        return "retest";
    case RunSettings::Kind::Fetch:
        break;
    }
    return "fetch";
}

using RunBody = void (Flashing_c::*)();

RunBody runBodyOf(RunSettings::Kind kind)
{
    switch (kind) {
    case RunSettings::Kind::Production:
        return &Flashing_c::runProduction;
    case RunSettings::Kind::Test:
        return &Flashing_c::runTest;
    case RunSettings::Kind::Retest:
        return &Flashing_c::runRetest;
    case RunSettings::Kind::Fetch:
        break;
    }
    return &Flashing_c::runFetch;
}

} // namespace

RunHost::RunHost(QThread& thread, Logger_c& logger) : m_thread(thread), m_logger(logger)
{
    connect(&m_logger, &Logger_c::sigLine, this, &RunHost::sigLine);
    connect(&m_logger, &Logger_c::sigProgress, this, &RunHost::sigProgress);
    connect(&m_logger, &Logger_c::sigTransferProgress, this, &RunHost::sigTransferProgress);
    // Direct: the line is stamped and stored when it is logged, not when the front end gets it.
    connect(&m_logger, &Logger_c::sigLine, this, &RunHost::onLine, Qt::DirectConnection);
    connect(&m_logger, &Logger_c::sigTrace, this, &RunHost::onTrace, Qt::DirectConnection);
}

RunHost::~RunHost()
{
    end();
}

Flashing_c* RunHost::start(const RunSettings& s, const std::function<void(Flashing_c&)>& setUp)
{
    if (m_worker || m_thread.isRunning())
        return nullptr;
    m_settings = s;
    using Kind = RunSettings::Kind;
    const bool production = s.kind == Kind::Production;
    // Only production may take a device that answers from its bootloader at the probe.
    const bool skipBootloader = production ? s.skipBootloader : true;
    const QString folder =
        production ? QStringLiteral("/Production/") : QStringLiteral("/TestFiles/");
    m_worker = new Flashing_c(s.deviceId, skipBootloader, folder, s.setDeviceId, &m_logger);
    m_worker->setJLinkSerial(s.jlinkSerial);
    m_worker->setPorts(s.ports);
    m_worker->setUnitReturnLimitMs(s.unitReturnLimitMs);
    if (production && s.stationIds)
        m_worker->setStationIds(s.firstId);
    if (s.idBlocks)
        m_worker->setLineIds(s.idBlocks, s.blockSize);
    m_worker->setLineLookup(s.lineUnit);
    connect(m_worker, &Flashing_c::sigDeviceId, this, &RunHost::sigDeviceId);
    connect(m_worker, &Flashing_c::on_flashFinish, this, &RunHost::sigFinished);

    if (s.kind == Kind::Fetch)
        m_worker->setFetch(s.fetchFolder, s.fetchSelector, s.fetchNames);
    const RunBody body = runBodyOf(s.kind);
    Flashing_c* worker = m_worker;
    connect(&m_thread, &QThread::started, m_worker, [this, worker, body] {
        (worker->*body)();
        // The run ends when its body returns, not when the front end comes to end it.
        m_end = QDateTime::currentDateTimeUtc();
    });
    if (setUp)
        setUp(*m_worker);
    beginRun();
    return m_worker;
}

void RunHost::beginRun()
{
    m_worker->moveToThread(&m_thread);
    // 48 random bits: unique enough among the runs of a station's journal.
    m_runId = QString::number(QRandomGenerator::global()->generate64() & 0xFFFFFFFFFFFFull, 16)
                  .rightJustified(12, QLatin1Char('0'));
    m_start = QDateTime::currentDateTimeUtc();
    m_end = QDateTime();
    m_lastRedLine.clear();
    m_stopCause.clear();
    m_writeErrorShown = false;
    m_active = true;
    m_thread.start(QThread::InheritPriority);
}

void RunHost::stop(const QString& cause)
{
    if (!m_worker)
        return;
    if (m_stopCause.isEmpty())
        m_stopCause = cause;
    m_worker->stop();
}

void RunHost::join()
{
    // quit() and wait(), never terminate(): the run body has returned (its end was its last
    // action) or returns at its next check of the stop flag.
    stop();
    m_thread.quit();
    m_thread.wait();
    if (m_active)
        writeJournal();
}

void RunHost::end()
{
    if (!m_worker)
        return;
    join();
    disconnect(&m_thread, &QThread::started, m_worker, nullptr);
    delete m_worker;
    m_worker = nullptr;
}

void RunHost::onLine(const QString& text, LogColour colour)
{
    if (!m_active)
        return;
    if (colour == LogColour::Red)
        m_lastRedLine = text;
    appendToDayLog(colourWord(colour), text);
}

void RunHost::onTrace(const QString& text)
{
    if (m_active)
        appendToDayLog(QStringLiteral("tool"), text);
}

void RunHost::appendToDayLog(const QString& word, const QString& text)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!appendDayLogLine(StationLayout::dayLogFile(now.date()), now, m_runId, word, text))
        reportWriteError();
}

void RunHost::writeJournal()
{
    RunRecord record = m_worker->takeRecord();
    record.id = m_runId;
    record.kind = QLatin1String(kindName(m_settings.kind));
    record.start = m_start;
    record.end = m_end.isValid() ? m_end : QDateTime::currentDateTimeUtc();
    record.version = QLatin1String(kVeltoraVersion);
    record.host = QSysInfo::machineHostName();
    record.station = m_settings.station.isEmpty() ? record.host : m_settings.station;
    record.stopCause = m_stopCause;
    // Only these runs write the ID; the others are never asked to. A run on the station's IDs
    // names the one it took, if it got that far.
    const bool writesId = m_settings.kind == RunSettings::Kind::Production ||
                          m_settings.kind == RunSettings::Kind::Test;
    if (!(m_settings.stationIds && m_settings.kind == RunSettings::Kind::Production)) {
        record.deviceIdAsked = writesId && m_settings.setDeviceId;
        record.deviceId = m_settings.deviceId;
    }
    record.error = m_lastRedLine;
    m_journalLine = record.toJsonLine();
    if (!appendRunRecord(StationLayout::journalFile(), record))
        reportWriteError();
    m_active = false;
}

void RunHost::reportWriteError()
{
    if (m_writeErrorShown.exchange(true))
        return;
    const QString text = QStringLiteral("Run journal writing error");
    // The day log may take it when only the journal failed; when it fails too, that is the
    // error this line reports.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    (void)appendDayLogLine(StationLayout::dayLogFile(now.date()), now, m_runId, LogColour::Red,
                           text);
    emit sigLine(text, LogColour::Red, false);
}
