#include "session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "command_line.h"
#include "line_commands.h"
#include "logger.h"
#include "run_host.h"
#include "run_report.h"
#include "station.h"
#include "stop_signals.h"
#include "terminal_output.h"

namespace cli {

namespace {

// Ends the run whose thread RunHost::join() has joined: deletes its worker and connections. The
// sanitizer does not see that join inside Qt: fuzz/sanitizers/tsan.supp names this function,
// which is kept to this one call for that reason.
void endJoinedRun(RunHost& host)
{
    host.end();
}

RunSettings settingsFor(const Options& o, const LineSettings& line)
{
    RunSettings s;
    s.station = line.station;
    s.lineUnit = lineUnitLookup(line);
    s.kind = o.command == Command::Production ? RunSettings::Kind::Production
             : o.command == Command::Test     ? RunSettings::Kind::Test
             : o.command == Command::Retest   ? RunSettings::Kind::Retest
                                              : RunSettings::Kind::Fetch;
    s.deviceId = o.deviceId;
    s.setDeviceId = o.setDeviceId;
    s.skipBootloader = o.skipBootloader;
    s.fetchFolder = o.toDir;
    s.fetchSelector = o.selector;
    s.fetchNames = o.names;
    s.jlinkSerial = o.jlinkSerial;
    s.ports = o.ports;
    return s;
}

// One run on the run host: its lines and verdict on standard output, its transfers on standard
// error, and the stops that can end it (signals, the time limit, a closed output).
class Session : public QObject
{
public:
    Session(const Options& o, const LineSettings& line)
        : m_options(o), m_line(line), m_style(stdoutStyle()), m_bar(isTerminal(stderr))
    {
        connect(&m_host, &RunHost::sigLine, this,
                [this](const QString& text, LogColour colour, bool) {
                    print(formatLogLine(text, colour, m_style));
                });
        connect(&m_host, &RunHost::sigTransferProgress, this,
                [this](const QString& name, qint64 done, qint64 total) {
                    m_bar.transfer(name, done, total);
                });
        connect(&m_host, &RunHost::sigFinished, this, [this](bool ok) {
            m_exitCode = ok ? ExitSuccess : ExitRunFailed;
            m_finished = true;
            m_loop.quit();
        });
        connect(&m_thread, &QThread::finished, this, [this] { m_loop.quit(); });
    }

    int exec()
    {
        watchStops();
        QElapsedTimer taken;
        taken.start();
        m_host.start(settingsFor(m_options, m_line));
        m_loop.exec();
        m_host.join();
        const qint64 elapsedMs = taken.elapsed();
        // Lines emitted before the end are still queued here.
        QCoreApplication::sendPostedEvents(this);
        endJoinedRun(m_host);
        restoreStopSignals();
        m_ended = true;
        // Before the verdict, which stays the last line; a server away costs its time-out.
        const QString waits = sendAfterRun(stationDir(), m_line, m_host.journalLine());
        if (!waits.isEmpty())
            print(formatLogLine(waits, LogColour::Black, m_style));
        // A run that reported its end completed, even when a stop came too late to cut it
        // short; a stopped run returns without a word of its own.
        const int code = m_finished ? m_exitCode : m_stopCode ? m_stopCode : ExitRunFailed;
        const Verdict verdict = code == ExitSuccess     ? Verdict::Pass
                                : code == ExitRunFailed ? Verdict::Fail
                                                        : Verdict::Stopped;
        std::optional<quint64> id;
        if (writesDeviceId(m_options))
            id = m_options.deviceId;
        print(formatVerdict(verdict, commandName(m_options.command), id, elapsedMs, m_style));
        m_bar.hide();
        return code;
    }

private:
    void print(const QString& line)
    {
        // A closed standard output (a reader that went away) ends the run as an interrupt does.
        if (!m_outputOpen)
            return;
        m_bar.hide();
        const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) !=
                size_t(bytes.size()) ||
            std::fflush(stdout) != 0) {
            m_outputOpen = false;
            stop(ExitInterrupted, QStringLiteral("standard output closed"));
        }
    }

    // Only the first reason counts and is told; the run returns at its next check.
    void stop(int code, const QString& reason)
    {
        if (m_stopCode || m_finished || m_ended)
            return;
        m_stopCode = code;
        m_bar.hide();
        std::fprintf(stderr, "veltora-cli: %s, stopping the run\n", qUtf8Printable(reason));
        m_host.stop(code == ExitTimeLimit ? QStringLiteral("time limit") : QStringLiteral("stop"));
        m_thread.quit();
    }

    void watchStops()
    {
        if (m_options.timeLimitSeconds > 0) {
            m_limit.setSingleShot(true);
            connect(&m_limit, &QTimer::timeout, this, [this] {
                stop(ExitTimeLimit,
                     QStringLiteral("time limit of %1 s reached").arg(m_options.timeLimitSeconds));
            });
            m_limit.start(m_options.timeLimitSeconds * 1000);
        }
        watchStopSignals();
        connect(&m_signalPoll, &QTimer::timeout, this, [this] {
            if (takeStopSignal())
                stop(ExitInterrupted, QStringLiteral("interrupted"));
        });
        m_signalPoll.start(20);
    }

    const Options& m_options;
    const LineSettings m_line;
    const LineStyle m_style;
    ProgressBar m_bar;
    Logger_c m_logger;
    QThread m_thread;
    RunHost m_host{m_thread, m_logger};
    QEventLoop m_loop;
    QTimer m_limit;
    QTimer m_signalPoll;
    int m_exitCode = ExitRunFailed;
    int m_stopCode = 0;
    bool m_finished = false;
    // The run is over: a failed write of the verdict stops nothing.
    bool m_ended = false;
    bool m_outputOpen = true;
};

} // namespace

bool useStationDir(const Options& o)
{
    const StationChoice choice = chooseStationDir(o.stationDir);
    if (choice.dir.isEmpty()) {
        std::fprintf(stderr, "veltora-cli: %s\n", qUtf8Printable(escapeControls(choice.error)));
        if (o.stationDir.isEmpty())
            std::fputs("Create a station folder with 'veltora-cli init-station DIR'.\n", stderr);
        else
            std::fprintf(stderr, "Try 'veltora-cli %s --help'.\n",
                         qUtf8Printable(commandName(o.command)));
        return false;
    }
    setStationDir(choice.dir);
    return true;
}

int runSession(const Options& o)
{
    if (!useStationDir(o))
        return ExitUsage;
    LineSettings line;
    if (!lineSettings(o, stationDir(), line))
        return ExitUsage;
    Session session(o, line);
    return session.exec();
}

int printReport(const Options& o)
{
    // --database: the whole line's report, which needs no station folder.
    if (!o.database.isEmpty()) {
        LineSettings line;
        if (!lineSettings(o, o.stationDir, line))
            return ExitUsage;
        return printLineReport(o, line);
    }
    if (!useStationDir(o))
        return ExitUsage;
    QByteArray out;
    QString error;
    if (!makeRunReport(StationLayout::journalFile(), o.report, out, error)) {
        std::fprintf(stderr, "veltora-cli: %s\n", qUtf8Printable(error));
        return ExitRunFailed;
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return std::fflush(stdout) == 0 ? ExitSuccess : ExitRunFailed;
}

} // namespace cli
