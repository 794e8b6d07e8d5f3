#include "station_commands.h"

#include <QDir>
#include <cstdio>

#include "command_line.h"
#include "line_commands.h"
#include "logger.h"
#include "station.h"
#include "station_setup.h"

namespace cli {

namespace {

void printLines(const QStringList& lines, FILE* stream)
{
    for (const QString& line : lines)
        std::fprintf(stream, "%s\n", qUtf8Printable(line));
}

LogColour colourOf(Finding::Level level)
{
    switch (level) {
    case Finding::Level::Ok:
        return LogColour::Green;
    case Finding::Level::Note:
        return LogColour::Yellow;
    case Finding::Level::Problem:
        break;
    }
    return LogColour::Red;
}

} // namespace

QStringList doctorLines(const QList<Finding>& findings, LineStyle style)
{
    QStringList lines;
    for (const Finding& finding : findings)
        lines << formatLogLine(finding.text, colourOf(finding.level), style);
    const int problems = problemCount(findings);
    lines << (problems == 0 ? QStringLiteral("Nothing stands in the way of a run")
              : problems == 1
                  ? QStringLiteral("1 problem stands in the way of a run")
                  : QStringLiteral("%1 problems stand in the way of a run").arg(problems));
    return lines;
}

int printDoctor(const Options& options)
{
    HostCheckSettings settings;
    settings.stationDir = options.stationDir;
    QList<Finding> findings = checkHost(settings);
    findings << checkLine(options, stationDir());
    printLines(doctorLines(findings, stdoutStyle()), stdout);
    if (std::fflush(stdout) != 0)
        return ExitRunFailed;
    return problemCount(findings) == 0 ? ExitSuccess : ExitRunFailed;
}

int runInitStation(const Options& options)
{
    const QString dir = options.names.value(0);
    const StationSetup setup = initStation(stationSkeleton(), dir);
    QStringList lines;
    for (const QString& path : setup.created)
        lines << QStringLiteral("Created ") + path;
    for (const QString& path : setup.kept)
        lines << QStringLiteral("Kept as it was: ") + path;
    printLines(lines, stdout);
    if (!setup.error.isEmpty()) {
        std::fprintf(stderr, "veltora-cli: %s\n", qUtf8Printable(escapeControls(setup.error)));
        return ExitRunFailed;
    }
    std::printf("Station folder %s is set up; check it with: veltora-cli doctor --station-dir %s\n",
                qUtf8Printable(QDir::toNativeSeparators(QDir(dir).absolutePath())),
                qUtf8Printable(QDir::toNativeSeparators(QDir(dir).absolutePath())));
    return std::fflush(stdout) == 0 ? ExitSuccess : ExitRunFailed;
}

} // namespace cli
