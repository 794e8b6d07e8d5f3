#pragma once
#include <QList>
#include <QString>

#include "host_check.h"

// The platform's part of the host check, one file per platform: what the operator's account and
// the system need for the devices' ports, and the folder of port locks.
void checkSystem(const HostCheckSettings& settings, QList<Finding>& findings);
Finding checkLockFolder(const QString& folder);
// Where the commander is looked for after the station folder: "on the PATH" (Linux), "where the
// J-Link installer recorded it" (Windows).
QString installedCommanderPlace();
