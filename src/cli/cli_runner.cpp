#include "cli_runner.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>

#include "file_loader.h"
#include "flashing.h"
#include "logger.h"
#include "port_list.h"
#include "station.h"
#include "usb_cdc_protocol.h"

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
        if (m_shown)
            std::fputs("\r\033[K", stderr);
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
        "\n"
        "Runs one production run, test run or re-test on the device, with the same run bodies\n"
        "as the window, or fetches files from the device found by the port probe.\n"
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
        "\n"
        "Environment: VELTORA_EXTRA_PORTS names a file of extra ports (\"<port> <vendor id>\"\n"
        "per line), read at every port listing.\n");
}

bool parseArguments(const QStringList& args, Options& o, QString& error)
{
    if (args.isEmpty()) {
        error = QStringLiteral("missing command (production, test, retest or fetch)");
        return false;
    }
    int i = 0;
    if (args[0] == "-h" || args[0] == "--help") {
        o.help = true;
        return true;
    }
    o.mode = args[i++];
    static const QStringList modes = {"production", "test", "retest", "fetch"};
    if (!modes.contains(o.mode)) {
        error =
            QStringLiteral("unknown command '%1' (production, test, retest or fetch)").arg(o.mode);
        return false;
    }
    const bool fetch = o.mode == "fetch";
    bool selectorSeen = false;
    auto value = [&](const QString& option, QString& out) {
        if (i >= args.size()) {
            error = QStringLiteral("option %1 needs a value").arg(option);
            return false;
        }
        out = args[i++];
        return true;
    };
    while (i < args.size()) {
        const QString a = args[i++];
        QString v;
        if (a == "-h" || a == "--help") {
            o.help = true;
            return true;
        } else if (a == "--station-dir" && !fetch) {
            if (!value(a, v))
                return false;
            o.stationDir = v;
        } else if (a == "--device-id" && !fetch) {
            if (!value(a, v))
                return false;
            if (!parseUnsigned(v, Q_UINT64_C(18446744073709551615), o.deviceId)) {
                error =
                    QStringLiteral(
                        "--device-id needs a whole number from 0 to 18446744073709551615, not '%1'")
                        .arg(v);
                return false;
            }
        } else if (a == "--set-device-id" && !fetch) {
            o.setDeviceId = true;
        } else if (a == "--no-set-device-id" && !fetch) {
            o.setDeviceId = false;
        } else if (a == "--skip-bootloader" && !fetch) {
            o.skipBootloader = true;
        } else if (a == "--no-skip-bootloader" && !fetch) {
            o.skipBootloader = false;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else if (a == "--time-limit") {
            if (!value(a, v))
                return false;
            quint64 s = 0;
            if (!parseUnsigned(v, 24 * 3600, s) || s == 0) {
                error =
                    QStringLiteral(
                        "--time-limit needs a whole number of seconds from 1 to 86400, not '%1'")
                        .arg(v);
                return false;
            }
            o.timeLimitSeconds = int(s);
        } else if (a == "--selector" && fetch) {
            if (!value(a, v))
                return false;
            quint64 s = 0;
            if (!parseUnsigned(v, 65535, s)) {
                error = QStringLiteral("--selector needs a whole number from 0 to 65535, not '%1'")
                            .arg(v);
                return false;
            }
            o.selector = quint16(s);
            selectorSeen = true;
        } else if (a == "--to" && fetch) {
            if (!value(a, v))
                return false;
            o.toDir = v;
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
    if (o.mode == "test" || o.mode == "retest")
        o.skipBootloader = true;
    return true;
}

QString escapeControls(const QString& text)
{
    const auto isControl = [](QChar c) {
        const ushort u = c.unicode();
        return u < 0x20 || (u >= 0x7F && u <= 0x9F);
    };
    if (std::none_of(text.begin(), text.end(), isControl))
        return text;
    QString out;
    for (const QChar c : text) {
        if (isControl(c))
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString formatLogLine(const QString& line, bool terminal)
{
    const int code = line.isEmpty() ? -1 : line.at(0).digitValue();
    // Device texts reach the terminal: no escape sequence or line break of theirs may act there.
    const QString text = escapeControls(line.mid(1));
    if (terminal) {
        const char* colour = nullptr;
        switch (code) {
        case 1:
            colour = "\033[31m";
            break;
        case 2:
            colour = "\033[33m";
            break;
        case 3:
            colour = "\033[34m";
            break;
        case 4:
            colour = "\033[32m";
            break;
        default:
            break;
        }
        return colour ? QString::fromLatin1(colour) + text + QStringLiteral("\033[0m") : text;
    }
    switch (code) {
    case 1:
        return QStringLiteral("[E] ") + text;
    case 2:
        return QStringLiteral("[W] ") + text;
    case 3:
        return QStringLiteral("[I] ") + text;
    case 4:
        return QStringLiteral("[OK] ") + text;
    default:
        return text;
    }
}

int run(const Options& o)
{
    if (!o.stationDir.isEmpty()) {
        if (!QFileInfo(o.stationDir).isDir()) {
            std::fprintf(stderr, "veltora-cli: station folder '%s' does not exist\n",
                         qUtf8Printable(escapeControls(o.stationDir)));
            return ExitUsage;
        }
        setStationDir(QFileInfo(o.stationDir).absoluteFilePath());
    }

    const bool stdoutTerminal = isatty(fileno(stdout));
    ProgressBar bar(isatty(fileno(stderr)));

    Logger_c logger;
    QObject receiver; // lives in this thread, so the worker's signals arrive queued and in order
    QEventLoop loop;
    int exitCode = ExitRunFailed;
    bool finished = false;

    const bool production = o.mode == "production";
    const QString folder =
        production ? QStringLiteral("/Production/") : QStringLiteral("/TestFiles/");
    std::unique_ptr<Flashing_c> worker(
        new Flashing_c(o.deviceId, o.skipBootloader, folder, o.setDeviceId, &logger));
    Flashing_c* w = worker.get();
    QThread thread;

    // Stopping goes through stop(): the run body returns at its next check, nothing half-written.
    // Only the first reason counts and is told.
    int stopCode = 0;
    auto stopRun = [&](int code, const QString& reason) {
        if (stopCode || finished)
            return;
        stopCode = code;
        bar.hide();
        std::fprintf(stderr, "veltora-cli: %s, stopping the run\n", qUtf8Printable(reason));
        w->stop();
        thread.quit();
    };

    // A closed standard output (a reader that went away) ends the run as an interrupt does.
    bool outputOpen = true;
    QObject::connect(&logger, &Logger_c::sigLog, &receiver, [&](const QString& line) {
        if (!outputOpen)
            return;
        bar.hide();
        const QByteArray text = (formatLogLine(line, stdoutTerminal) + '\n').toUtf8();
        if (std::fwrite(text.constData(), 1, size_t(text.size()), stdout) != size_t(text.size()) ||
            std::fflush(stdout) != 0) {
            outputOpen = false;
            stopRun(ExitInterrupted, QStringLiteral("standard output closed"));
        }
        bar.redraw();
    });
    QObject::connect(&logger, &Logger_c::sigProgress, &receiver, [&](int v) { bar.set(v); });

    QObject::connect(w, &Flashing_c::on_flashFinish, &receiver, [&](bool ok) {
        exitCode = ok ? ExitSuccess : ExitRunFailed;
        finished = true;
        loop.quit();
    });
    QObject::connect(&thread, &QThread::finished, &receiver, [&] { loop.quit(); });

    if (o.mode == "production") {
        QObject::connect(&thread, &QThread::started, w, &Flashing_c::runProduction);
    } else if (o.mode == "test") {
        QObject::connect(&thread, &QThread::started, w, &Flashing_c::runTest);
    } else if (o.mode == "retest") {
        QObject::connect(&thread, &QThread::started, w, &Flashing_c::runRetest);
    } else {
        const Options opts = o;
        QObject::connect(&thread, &QThread::started, w, [w, opts, &logger] {
            QStringList ports;
            listDevicePorts(ports);
            if (!w->probePorts(ports, true)) {
                // Like the run bodies, a stopped fetch ends silently.
                if (w->protocol()->stopped())
                    return;
                logger.logWithLabel(QStringLiteral("Error while port opening"), 1);
                emit w->on_flashFinish(false);
                return;
            }
            QList<FlashFileEntry> files;
            for (const QString& name : opts.names)
                files.append(FlashFileEntry{name, 0});
            FileLoader_c loader(w->protocol(), files, opts.toDir, opts.selector, &logger);
            loader.doGetFiles();
            w->protocol()->closeIfOpen();
            if (!loader.lastRunSucceeded() && w->protocol()->stopped())
                return;
            emit w->on_flashFinish(loader.lastRunSucceeded());
        });
    }

    QTimer limit;
    limit.setSingleShot(true);
    if (o.timeLimitSeconds > 0) {
        QObject::connect(&limit, &QTimer::timeout, &receiver, [&] {
            stopRun(ExitTimeLimit,
                    QStringLiteral("time limit of %1 s reached").arg(o.timeLimitSeconds));
        });
        limit.start(o.timeLimitSeconds * 1000);
    }

    g_signal = 0;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#ifdef SIGPIPE
    // A write to a closed pipe fails instead of killing the process in the middle of a chunk.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QTimer signalPoll;
    QObject::connect(&signalPoll, &QTimer::timeout, &receiver, [&] {
        if (g_signal.exchange(0))
            stopRun(ExitInterrupted, QStringLiteral("interrupted"));
    });
    signalPoll.start(20);

    w->moveToThread(&thread);
    thread.start();
    loop.exec();

    w->stop();
    thread.quit();
    thread.wait();
    // Lines emitted before the end are still queued for the receiver.
    QCoreApplication::sendPostedEvents(&receiver);
    worker.reset(); // closes the port if it is still open
    bar.finish();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_DFL);
#endif

    // A run that reported its end completed, even when a stop came too late to cut it short;
    // a stopped run returns without a word.
    if (finished)
        return exitCode;
    return stopCode ? stopCode : ExitRunFailed;
}

} // namespace cli
