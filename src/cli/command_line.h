#pragma once
#include <QString>
#include <QStringList>

#include "run_report.h"

// veltora-cli's commands, their options and help texts, described in one table and read with
// QCommandLineParser.
namespace cli {

enum ExitCode {
    ExitSuccess = 0,
    ExitRunFailed = 1,
    ExitUsage = 2,
    ExitTimeLimit = 124,
    ExitInterrupted = 130
};

enum class Command { Production, Test, Retest, Fetch, Report, Doctor, InitStation, Station, Db };

struct Options
{
    Command command = Command::Production;
    QString stationDir;
    QString database; // the line's PostgreSQL URL; empty: VELTORA_DATABASE or station.ini
    quint64 deviceId = 0;
    bool deviceIdGiven = false;
    bool setDeviceId = true;
    bool skipBootloader = true;
    int timeLimitSeconds = 0; // 0: no limit
    quint16 selector = 0;
    bool selectorGiven = false;
    QString toDir;
    QStringList names;   // fetch: the files; init-station: the folder
    QString jlinkSerial; // test: the J-Link probe to program through
    QStringList ports;   // only these ports; empty: every device port
    // station: the first Device ID, units at once, units to finish (0: no end), how long a
    // restarting unit may be away, and events as JSON lines
    quint64 firstId = 0;
    bool firstIdGiven = false;
    int slotCount = 8;
    int count = 0;
    int restartWaitSeconds = 20;
    bool json = false;
    ReportOptions report;
    bool verbose = false;
};

// What the arguments ask for: a run (or report) with its options, a help text, the version, or
// nothing but a usage error.
struct CommandLine
{
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    Options options;
    // Help: the text to print. Error: the one-line message.
    QString text;
    // Error: whose help the hint points at, "veltora-cli" or "veltora-cli <command>".
    QString helpFor;
};

// Reads the arguments after the program name.
CommandLine parseCommandLine(const QStringList& args);

// The command's name as typed, also the run's kind in the verdict line.
QString commandName(Command command);
// Whether the run is to write a Device ID into the device.
bool writesDeviceId(const Options& options);

} // namespace cli
