#include "station.h"

#include <QCoreApplication>

namespace {
QString& configuredDir()
{
    static QString dir;
    return dir;
}
} // namespace

QString stationDir()
{
    const QString& dir = configuredDir();
    return dir.isEmpty() ? QCoreApplication::applicationDirPath() : dir;
}

void setStationDir(const QString& dir)
{
    QString d = dir;
    while (d.size() > 1 && d.endsWith('/'))
        d.chop(1);
    configuredDir() = d;
}
