#include "line_commands.h"

#include <cstdio>

#include "command_line.h"
#include "line_database.h"
#include "line_sender.h"
#include "logger.h"
#include "run_report.h"
#include "session.h"
#include "station.h"

namespace cli {

namespace {

// After a run, sending stops after this and leaves the rest to the next process or `db sync`.
constexpr int kAfterRunBudgetMs = 1000;

void usageError(const QString& text, Command command)
{
    std::fprintf(stderr, "veltora-cli: %s\nTry 'veltora-cli %s --help'.\n",
                 qUtf8Printable(escapeControls(text)), qUtf8Printable(commandName(command)));
}

int serverError(const QString& what, const QString& why)
{
    std::fprintf(stderr, "veltora-cli: %s: %s\n", qUtf8Printable(what),
                 qUtf8Printable(escapeControls(why)));
    return ExitRunFailed;
}

void printLines(const QStringList& lines)
{
    for (const QString& line : lines)
        std::printf("%s\n", qUtf8Printable(escapeControls(line)));
    std::fflush(stdout);
}

QString counted(qint64 n, const char* one, const char* many)
{
    return QString::number(n) + QLatin1Char(' ') + QLatin1String(n == 1 ? one : many);
}

// The server as the report names it: never the URL, which may hold a password.
QString serverName(const LineSettings& s)
{
    return QStringLiteral("line database ") + s.connection.database +
           (s.connection.host.isEmpty() ? QString() : QStringLiteral(" on ") + s.connection.host);
}

} // namespace

bool lineSettings(const Options& o, const QString& dir, LineSettings& settings)
{
    settings = readLineSettings(dir, o.database);
    if (settings.error.isEmpty())
        return true;
    usageError(settings.error, o.command);
    return false;
}

QString sendAfterRun(const QString& stationDir, const LineSettings& settings,
                     const QByteArray& ownLine)
{
    if (!settings.enabled())
        return {};
    LineSender sender(stationDir, settings);
    if (sender.sendPending(kAfterRunBudgetMs, ownLine) != LineSender::Outcome::Away)
        return {};
    return QStringLiteral("The line database could not be reached: this run's journal entry "
                          "waits for a later send");
}

LineUnitLookup lineUnitLookup(const LineSettings& settings)
{
    if (!settings.enabled())
        return {};
    return [settings](quint64 id) {
        LineDatabase db(settings.connection, settings.station);
        LineDatabase::Unit unit;
        LineUnitAnswer answer;
        answer.asked = db.findUnit(id, unit);
        answer.produced = unit.found;
        answer.station = unit.station;
        answer.run = unit.run;
        answer.time = unit.time;
        return answer;
    };
}

int runDb(const Options& o)
{
    // The station folder is needed only for its station.ini and journal.
    if (!o.stationDir.isEmpty() && !useStationDir(o))
        return ExitUsage;
    const QString dir = o.stationDir.isEmpty() ? chooseStationDir(QString()).dir : stationDir();
    LineSettings s;
    if (!lineSettings(o, dir, s))
        return ExitUsage;
    if (!s.enabled()) {
        usageError(QStringLiteral("db needs a database: --database URL, VELTORA_DATABASE or "
                                  "station.ini's [line] database"),
                   o.command);
        return ExitUsage;
    }
    const QString action = o.names.value(0);
    const bool station = !dir.isEmpty();
    if (action == QLatin1String("init")) {
        LineDatabase db(s.connection, s.station);
        if (!db.initSchema())
            return serverError(serverName(s), db.lastError());
        if (o.firstIdGiven && !db.setFirstId(o.firstId))
            return serverError(serverName(s), db.lastError());
        QStringList lines;
        if (!db.describe(lines))
            return serverError(serverName(s), db.lastError());
        printLines(lines.mid(0, 2));
        return ExitSuccess;
    }
    if (action == QLatin1String("status")) {
        LineDatabase db(s.connection, s.station);
        QStringList lines;
        if (!db.describe(lines))
            return serverError(serverName(s), db.lastError());
        if (station)
            lines << QStringLiteral("This station: %1, %2 of its journal not sent yet")
                         .arg(s.station,
                              counted(LineSender::pendingEntries(dir), "entry", "entries"));
        printLines(lines);
        return ExitSuccess;
    }
    if (!station) {
        usageError(QStringLiteral("db sync needs a station folder: --station-dir DIR"), o.command);
        return ExitUsage;
    }
    LineSender sender(dir, s);
    const LineSender::Outcome outcome =
        sender.sendPending(-1, QByteArray(), LineSender::Retry::Now);
    const QString sent =
        QStringLiteral("Sent %1 to the %2")
            .arg(counted(sender.sent(), "journal entry", "journal entries"), serverName(s));
    const QString waiting = counted(LineSender::pendingEntries(dir), "entry", "entries");
    if (outcome == LineSender::Outcome::Busy) {
        printLines({QStringLiteral("Another process of this station is sending; %1 not sent yet")
                        .arg(waiting)});
        return ExitSuccess;
    }
    if (outcome == LineSender::Outcome::Away) {
        printLines({sent});
        return serverError(serverName(s), sender.lastError() + QStringLiteral("; ") + waiting +
                                              QStringLiteral(" wait for a later send"));
    }
    printLines({sent});
    return ExitSuccess;
}

QList<Finding> checkLine(const Options& o, const QString& dir)
{
    const LineSettings s = readLineSettings(dir, o.database);
    if (!s.error.isEmpty())
        return {Finding(Finding::Level::Problem, QStringLiteral("Line database: ") + s.error)};
    if (!s.enabled())
        return {};
    QString name = serverName(s);
    name[0] = name[0].toUpper();
    LineDatabase db(s.connection, s.station);
    // Opening makes or upgrades the schema, as every run's first send does.
    if (!db.open()) {
        // The station works on and sends later; only a used-up block stops a station run.
        return {Finding(Finding::Level::Note,
                        name + QStringLiteral(": cannot be used (") +
                            db.lastError().section(QLatin1Char('\n'), 0, 0) +
                            QStringLiteral("); runs go on and their journal entries wait for a "
                                           "later send"))};
    }
    return {Finding(
        Finding::Level::Ok,
        name + QStringLiteral(": ok, station %1, %2 of its journal not sent yet")
                   .arg(s.station, counted(LineSender::pendingEntries(dir), "entry", "entries")))};
}

int printLineReport(const Options& o, const LineSettings& s)
{
    LineDatabase db(s.connection, s.station);
    QVector<ReportRun> runs;
    int skipped = 0;
    // Every run of the line: those before the period still tell which units were seen before.
    const bool read = db.readRuns(QString(), QDateTime(), QDateTime(), [&](const QByteArray& line) {
        ReportRun run;
        if (readJournalLine(line, run))
            runs << run;
        else
            ++skipped;
    });
    if (!read)
        return serverError(serverName(s), db.lastError());
    QByteArray out;
    QString error;
    if (!makeRunReport(std::move(runs), skipped, serverName(s), o.report, out, error)) {
        std::fprintf(stderr, "veltora-cli: %s\n", qUtf8Printable(error));
        return ExitRunFailed;
    }
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    return std::fflush(stdout) == 0 ? ExitSuccess : ExitRunFailed;
}

} // namespace cli
