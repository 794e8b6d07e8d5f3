#pragma once

namespace cli {

struct Options;

// Runs one run in a worker thread, printing its lines and its verdict, until it ends or is
// stopped; returns the process exit code. Needs a QCoreApplication.
int runSession(const Options& options);
// Prints the report of the station's run journal; returns the process exit code.
int printReport(const Options& options);
// veltora-cli db init|status|sync on the line's database; returns the process exit code.
int runDb(const Options& options);
// Takes the command's station folder; false, after a usage error, when it does not exist.
bool useStationDir(const Options& options);

} // namespace cli
