#pragma once
#include <QString>

// The station folder that every run path starts from: the program's own folder unless
// --station-dir (or a test) sets another one.
QString stationDir();
void setStationDir(const QString& dir);
