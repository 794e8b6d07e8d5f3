#pragma once
#include <QString>
#include <QStringList>

// What init-station did: the files and folders it made, those it left as they were, and why it
// stopped early (empty when it did not).
struct StationSetup
{
    QStringList created;
    QStringList kept;
    QString error;
};

// Copies the station folder skeleton into `dir`, making it when missing, without overwriting
// anything there: a station that is set up already keeps its lists and records.
StationSetup initStation(const QString& skeleton, const QString& dir);
