#pragma once
#include <QByteArray>
#include <QString>

#include "host_check.h"
#include "line_settings.h"
#include "run_host.h"

// veltora-cli on a line: the station's line settings, the journal sent after a run, the operator's
// Device ID asked about on the line, the db command and the line's report.
namespace cli {

struct Options;

// The line settings of a station folder (empty: only --database and VELTORA_DATABASE): false,
// after a usage error naming the bad setting, when they cannot be used.
bool lineSettings(const Options& options, const QString& stationDir, LineSettings& settings);

// Sends the station's journal after a run, the run's own line first, bounded by the connection's
// time-out and a short budget; the plain line to show when the run's entry waits for a later
// send, empty when it went.
QString sendAfterRun(const QString& stationDir, const LineSettings& settings,
                     const QByteArray& ownLine);

// Asks the line's units about a Device ID, each time on a connection of the asking thread.
LineUnitLookup lineUnitLookup(const LineSettings& settings);

// The doctor's line about the line database; none without a database setting.
QList<Finding> checkLine(const Options& options, const QString& stationDir);

// The line's report from its database; returns the process exit code.
int printLineReport(const Options& options, const LineSettings& settings);

} // namespace cli
