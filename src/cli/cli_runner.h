#pragma once
#include <QString>
#include <QStringList>

// The headless runner: one run of the same worker and run bodies the window drives.
namespace cli {

enum ExitCode {
    ExitSuccess = 0,
    ExitRunFailed = 1,
    ExitUsage = 2,
    ExitTimeLimit = 124,
    ExitInterrupted = 130
};

struct Options
{
    QString mode; // production, test, retest, fetch or report
    QString stationDir;
    quint64 deviceId = 0;
    bool setDeviceId = true;
    bool skipBootloader = true;
    int timeLimitSeconds = 0; // 0: no limit
    quint16 selector = 0;
    QString toDir;
    QStringList names;
    QString since; // report: YYYY-MM-DD
    bool json = false;
    bool help = false;
    bool verbose = false;
};

// Parses the arguments after the program name; false with a message on a usage error.
bool parseArguments(const QStringList& args, Options& options, QString& error);
QString usageText();

// A log line for the terminal: coloured by its code on a terminal, with a plain prefix otherwise;
// the message is escaped.
QString formatLogLine(const QString& text, int colour, bool terminal);

// Runs one run in a worker thread; returns the process exit code. Needs a QCoreApplication.
int run(const Options& options);
// Prints the report of the station's run journal; returns the process exit code.
int printReport(const Options& options);

} // namespace cli
