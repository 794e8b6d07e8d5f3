#include "cli_runner.h"

#include <QCoreApplication>
#include <QDate>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>

#include "logger.h"
#include "run_host.h"
#include "run_report.h"
#include "station.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace cli {

namespace {

std::atomic<int> g_signal{0};

void onSignal(int sig)
{
    g_signal = sig;
}

bool parseUnsigned(const QString& text, quint64 max, quint64& value)
{
    bool ok = false;
    const quint64 v = text.toULongLong(&ok, 10);
    if (!ok || v > max || text.startsWith('+'))
        return false;
    value = v;
    return true;
}

// The progress bar on standard error, redrawn in place.
class ProgressBar
{
public:
    explicit ProgressBar(bool enabled) : m_enabled(enabled) {}
    void set(int value)
    {
        if (!m_enabled || value < 0 || value > 100)
            return;
        m_value = value;
        m_shown = true;
        draw();
    }
    void hide()
    {
        if (m_shown)
            std::fputs("\r\033[K", stderr);
    }
    void redraw()
    {
        if (m_shown)
            draw();
    }
    void finish()
    {
        hide();
        m_shown = false;
    }

private:
    void draw()
    {
        const int width = 40;
        const int filled = m_value * width / 100;
        std::fprintf(stderr, "\r[%s%s] %3d%%", QByteArray(filled, '#').constData(),
                     QByteArray(width - filled, ' ').constData(), m_value);
        std::fflush(stderr);
    }
    bool m_enabled;
    bool m_shown = false;
    int m_value = 0;
};

} // namespace

QString usageText()
{
    return QStringLiteral(
        "Usage:\n"
        "  veltora-cli production|test|retest [options]\n"
        "  veltora-cli fetch --selector N --to DIR NAME...\n"
        "  veltora-cli report [--station-dir DIR] [--since YYYY-MM-DD] [--json]\n"
        "\n"
        "Runs one production run, test run or re-test on the device, with the same run bodies\n"
        "as the window, or fetches files from the device found by the port probe. Every run\n"
        "appends one line to the station's run journal Logs/runs.jsonl and its log lines to\n"
        "the day log Logs/<UTC date>.log; report sums the journal up.\n"
        "\n"
        "Options:\n"
        "  --station-dir DIR        station folder (Production/, TestFiles/, Keys/, MAC/);\n"
        "                           default: the program's own folder\n"
        "  --device-id N            Device ID to write (0..18446744073709551615, default 0)\n"
        "  --set-device-id          write the Device ID (default)\n"
        "  --no-set-device-id       do not write the Device ID (production: no key, no records)\n"
        "  --skip-bootloader        production: reject a device in its bootloader at the probe "
        "(default)\n"
        "  --no-skip-bootloader     production: accept it; test and re-test always skip it\n"
        "  --time-limit SECONDS     stop the run after this many seconds (exit code 124)\n"
        "  --selector N             fetch: selector passed to the device (0..65535)\n"
        "  --to DIR                 fetch: local folder that receives the files\n"
        "  --since YYYY-MM-DD       report: only runs started on or after this UTC date\n"
        "  --json                   report: one JSON object instead of text\n"
        "  -v, --verbose            also print the diagnostic trace on standard error\n"
        "  -h, --help               this text\n"
        "\n"
        "Log lines go to standard output as they happen: coloured on a terminal, otherwise\n"
        "prefixed [E] error, [W] warning, [I] information, [OK] success; control characters\n"
        "in them show as \\xHH. A progress bar goes to standard error when it is a terminal.\n"
        "\n"
        "Exit codes: 0 success, 1 run failed, 2 usage error, 124 time limit reached,\n"
        "130 interrupted (Ctrl-C, SIGTERM or standard output closed). 124 and 130 mean the\n"
        "run was stopped before it completed: it wrote nothing more after the stop and\n"
        "closed the port. A run that completed before the stop took effect exits 0 or 1.\n"
        "report exits 0, or 1 when the journal cannot be read.\n"
        "\n"
        "Environment: VELTORA_EXTRA_PORTS names a file of extra ports (\"<port> <vendor id>\"\n"
        "per line), read at every port listing.\n");
}

namespace {

// Reads the value of a number option; false with the option's own message.
bool numberOption(const QString& option, const QString& value, quint64 min, quint64 max,
                  const char* what, quint64& out, QString& error)
{
    if (parseUnsigned(value, max, out) && out >= min)
        return true;
    error = QStringLiteral("%1 needs %2, not '%3'").arg(option, QLatin1String(what), value);
    return false;
}

// One option with a value; false with a message when it is not one or its value is bad.
bool valueOption(const QString& a, const QString& v, bool fetch, Options& o, QString& error)
{
    const bool report = o.mode == "report";
    quint64 n = 0;
    if (a == "--station-dir") {
        o.stationDir = v;
    } else if (a == "--since" && report) {
        if (v.size() != 10 || !QDate::fromString(v, Qt::ISODate).isValid()) {
            error = QStringLiteral("--since needs a date YYYY-MM-DD, not '%1'").arg(v);
            return false;
        }
        o.since = v;
    } else if (report) {
        error = QStringLiteral("unknown option '%1' for %2").arg(a, o.mode);
        return false;
    } else if (a == "--device-id" && !fetch) {
        if (!numberOption(a, v, 0, Q_UINT64_C(18446744073709551615),
                          "a whole number from 0 to 18446744073709551615", o.deviceId, error))
            return false;
    } else if (a == "--time-limit") {
        if (!numberOption(a, v, 1, 24 * 3600, "a whole number of seconds from 1 to 86400", n, error))
            return false;
        o.timeLimitSeconds = int(n);
    } else if (a == "--selector" && fetch) {
        if (!numberOption(a, v, 0, 65535, "a whole number from 0 to 65535", n, error))
            return false;
        o.selector = quint16(n);
    } else if (a == "--to" && fetch) {
        o.toDir = v;
    } else {
        error = QStringLiteral("unknown option '%1' for %2").arg(a, o.mode);
        return false;
    }
    return true;
}

// One option without a value; false when the option is not one of them.
bool flagOption(const QString& a, bool fetch, Options& o)
{
    if (a == "-v" || a == "--verbose")
        o.verbose = true;
    else if (o.mode == "report" && a == "--json")
        o.json = true;
    else if (fetch || o.mode == "report")
        return false;
    else if (a == "--set-device-id" || a == "--no-set-device-id")
        o.setDeviceId = a == "--set-device-id";
    else if (a == "--skip-bootloader" || a == "--no-skip-bootloader")
        o.skipBootloader = a == "--skip-bootloader";
    else
        return false;
    return true;
}

bool takesValue(const QString& a)
{
    static const QStringList options = {"--station-dir", "--device-id", "--time-limit",
                                        "--selector", "--to", "--since"};
    return options.contains(a);
}

} // namespace

bool parseArguments(const QStringList& args, Options& o, QString& error)
{
    if (args.isEmpty()) {
        error = QStringLiteral("missing command (production, test, retest, fetch or report)");
        return false;
    }
    if (args[0] == "-h" || args[0] == "--help") {
        o.help = true;
        return true;
    }
    o.mode = args[0];
    static const QStringList modes = {"production", "test", "retest", "fetch", "report"};
    if (!modes.contains(o.mode)) {
        error = QStringLiteral("unknown command '%1' (production, test, retest, fetch or report)")
                    .arg(o.mode);
        return false;
    }
    const bool fetch = o.mode == "fetch";
    bool selectorSeen = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "-h" || a == "--help") {
            o.help = true;
            return true;
        }
        if (takesValue(a)) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option %1 needs a value").arg(a);
                return false;
            }
            if (!valueOption(a, args[++i], fetch, o, error))
                return false;
            selectorSeen = selectorSeen || a == "--selector";
        } else if (flagOption(a, fetch, o)) {
        } else if (a.startsWith('-')) {
            error = QStringLiteral("unknown option '%1' for %2").arg(a, o.mode);
            return false;
        } else if (fetch) {
            o.names << a;
        } else {
            error = QStringLiteral("unexpected argument '%1'").arg(a);
            return false;
        }
    }
    if (fetch) {
        if (!selectorSeen || o.toDir.isEmpty() || o.names.isEmpty()) {
            error = QStringLiteral("fetch needs --selector N, --to DIR and at least one file name");
            return false;
        }
        while (o.toDir.size() > 1 && o.toDir.endsWith('/'))
            o.toDir.chop(1);
    }
    return true;
}

QString formatLogLine(const QString& text, int colour, bool terminal)
{
    // Red errors, yellow warnings, blue results, green successes; anything else plain.
    static const struct
    {
        const char* ansi;
        const char* tag;
    } kColours[] = {{nullptr, nullptr}, {"\033[31m", "[E] "}, {"\033[33m", "[W] "},
                    {"\033[34m", "[I] "}, {"\033[32m", "[OK] "}};
    // Device texts reach the terminal: no escape sequence or line break of theirs may act there.
    const QString escaped = escapeControls(text);
    const bool known = colour >= 1 && colour <= 4;
    if (!known)
        return escaped;
    if (terminal)
        return QLatin1String(kColours[colour].ansi) + escaped + QStringLiteral("\033[0m");
    return QLatin1String(kColours[colour].tag) + escaped;
}

namespace {

RunSettings settingsFor(const Options& o)
{
    RunSettings s;
    s.kind = o.mode == "production" ? RunSettings::Kind::Production
             : o.mode == "test"     ? RunSettings::Kind::Test
             : o.mode == "retest"   ? RunSettings::Kind::Retest
                                    : RunSettings::Kind::Fetch;
    s.deviceId = o.deviceId;
    s.setDeviceId = o.setDeviceId;
    s.skipBootloader = o.skipBootloader;
    s.fetchFolder = o.toDir;
    s.fetchSelector = o.selector;
    s.fetchNames = o.names;
    return s;
}

// One run on the run host: its lines on standard output, its progress on standard error, and
// the stops that can end it (signals, the time limit, a closed output).
class Session : public QObject
{
public:
    explicit Session(const Options& o)
        : m_options(o), m_terminal(isatty(fileno(stdout))), m_bar(isatty(fileno(stderr)))
    {
        connect(&m_host, &RunHost::sigLine, this,
                [this](const QString& text, int colour, bool) { print(text, colour); });
        connect(&m_host, &RunHost::sigProgress, this, [this](int v) { m_bar.set(v); });
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
        m_host.start(settingsFor(m_options));
        m_loop.exec();
        m_host.join();
        // Lines emitted before the end are still queued here.
        QCoreApplication::sendPostedEvents(this);
        m_host.end();
        m_bar.finish();
        restoreSignals();
        // A run that reported its end completed, even when a stop came too late to cut it
        // short; a stopped run returns without a word.
        if (m_finished)
            return m_exitCode;
        return m_stopCode ? m_stopCode : ExitRunFailed;
    }

private:
    void print(const QString& text, int colour)
    {
        // A closed standard output (a reader that went away) ends the run as an interrupt does.
        if (!m_outputOpen)
            return;
        m_bar.hide();
        const QByteArray bytes = (formatLogLine(text, colour, m_terminal) + '\n').toUtf8();
        if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) != size_t(bytes.size())
            || std::fflush(stdout) != 0) {
            m_outputOpen = false;
            stop(ExitInterrupted, QStringLiteral("standard output closed"));
        }
        m_bar.redraw();
    }

    // Only the first reason counts and is told; the run returns at its next check.
    void stop(int code, const QString& reason)
    {
        if (m_stopCode || m_finished)
            return;
        m_stopCode = code;
        m_bar.hide();
        std::fprintf(stderr, "veltora-cli: %s, stopping the run\n", qUtf8Printable(reason));
        m_host.stop();
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
        g_signal = 0;
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
#ifdef SIGPIPE
        // A write to a closed pipe fails instead of killing the process in the middle of a chunk.
        std::signal(SIGPIPE, SIG_IGN);
#endif
        connect(&m_signalPoll, &QTimer::timeout, this, [this] {
            if (g_signal.exchange(0))
                stop(ExitInterrupted, QStringLiteral("interrupted"));
        });
        m_signalPoll.start(20);
    }

    static void restoreSignals()
    {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
#ifdef SIGPIPE
        std::signal(SIGPIPE, SIG_DFL);
#endif
    }

    const Options& m_options;
    const bool m_terminal;
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
    bool m_outputOpen = true;
};

bool useStationDir(const Options& o)
{
    if (o.stationDir.isEmpty())
        return true;
    if (!QFileInfo(o.stationDir).isDir()) {
        std::fprintf(stderr, "veltora-cli: station folder '%s' does not exist\n",
                     qUtf8Printable(escapeControls(o.stationDir)));
        return false;
    }
    setStationDir(QFileInfo(o.stationDir).absoluteFilePath());
    return true;
}

} // namespace

int run(const Options& o)
{
    if (!useStationDir(o))
        return ExitUsage;
    Session session(o);
    return session.exec();
}

int printReport(const Options& o)
{
    if (!useStationDir(o))
        return ExitUsage;
    RunReport report;
    if (!readRunReport(StationLayout::journalFile(), o.since, report)) {
        std::fprintf(stderr, "veltora-cli: the run journal '%s' cannot be read\n",
                     qUtf8Printable(escapeControls(StationLayout::journalFile())));
        return ExitRunFailed;
    }
    const QByteArray out = o.json ? runReportJson(report) : runReportText(report).toUtf8();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return std::fflush(stdout) == 0 ? ExitSuccess : ExitRunFailed;
}

} // namespace cli
