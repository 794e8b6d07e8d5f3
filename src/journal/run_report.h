#pragma once
#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

// The run journal summed up: per kind of run the passed, failed and stopped counts, the failures
// by their red line and the durations, and the Device IDs that production runs produced.
struct RunReport
{
    struct Kind
    {
        int passed = 0;
        int failed = 0;
        int stopped = 0;
        QVector<qint64> durationsMs;
        QHash<QString, int> failures; // red line -> count
    };
    QString journal;
    QString since;
    QMap<QString, Kind> kinds;
    QVector<quint64> deviceIds; // successful production runs that wrote the ID, in journal order
    int skipped = 0;            // malformed or torn lines
};

// Reads the journal line by line, without holding it in memory; a malformed or torn line is
// skipped and counted. Runs that started before since (a UTC date YYYY-MM-DD; empty: no bound)
// are left out. A missing journal gives a report without runs; false when it cannot be read.
bool readRunReport(const QString& journalPath, const QString& since, RunReport& report);

// The report for people, and the same as one JSON object.
QString runReportText(const RunReport& report);
QByteArray runReportJson(const RunReport& report);
