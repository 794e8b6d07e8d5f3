#pragma once
#include <QList>
#include <QStringList>

#include "host_check.h"
#include "terminal_output.h"

// The commands that set a station PC up rather than run on a device: doctor and init-station.
namespace cli {

struct Options;

// The doctor's lines as the operator sees them: one per finding, marked or coloured by its level,
// then how many problems stand in the way of a run.
QStringList doctorLines(const QList<Finding>& findings, LineStyle style);
// Both return the process exit code.
int printDoctor(const Options& options);
int runInitStation(const Options& options);

} // namespace cli
