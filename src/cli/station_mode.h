#pragma once

namespace cli {

struct Options;

// veltora-cli station: watches the device ports and runs production on every unit that appears,
// several at once, with the station's Device IDs, until --count units have finished or it is
// stopped; returns the process exit code. Needs a QCoreApplication.
int runStation(const Options& options);

} // namespace cli
