#pragma once
// A run journal of known runs for the report's tests.
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstring>

#include "run_report.h"

namespace reportsample {

// Two stations over two days, between runs before and after the period: unit 101 fails twice and
// then passes, unit 104 fails on one day and passes on the next, station line-a works for 35
// minutes with a gap of 28 between two runs and then pauses for 35, unit 106 is unit 99
// re-identified, 100 is produced twice, and one line was written before the journal named
// stations and steps.
inline QByteArray sampleJournal()
{
    struct Run
    {
        const char* start;
        const char* station;
        const char* kind;
        int ms;
        const char* result;
        const char* id;
        const char* more;
    };
    const Run runs[] = {
        {"05-01 10:00:00", "a", "production", 60000, "success", "99", ""},
        {"05-02 08:00:00", "a", "production", 40000, "success", "100", ""},
        {"05-02 08:01:00", "a", "production", 20000, "failed", "101",
         R"("step":"download","error":"Firmware download error",)"},
        {"05-02 08:02:00", "a", "production", 25000, "failed", "101",
         R"("step":"MACs","error":"Error while MACs getting",)"},
        {"05-02 08:03:00", "a", "production", 44000, "success", "101", ""},
        {"05-02 08:04:00", "a", "production", 10000, "stopped", "102", R"("stop_cause":"stop",)"},
        {"05-02 08:05:00", "a", "production", 42000, "success", "102", ""},
        {"05-02 08:34:00", "a", "production", 46000, "success", "103", ""},
        {"05-02 09:10:00", "a", "production", 30000, "failed", "104",
         R"("step":"key","error":"Public key creating error",)"},
        {"05-02 08:30:00", "b", "production", 50000, "success", "200", ""},
        {"05-02 08:32:00", "b", "production", 48000, "success", "201", ""},
        {"05-03 07:00:00", "a", "production", 45000, "success", "104", ""},
        {"05-03 07:01:00", "a", "production", 40000, "stopped", "105",
         R"("stop_cause":"time limit",)"},
        {"05-03 07:02:00", "a", "production", 12000, "stopped", "105",
         R"("stop_cause":"window closed",)"},
        {"05-03 07:03:00", "a", "production", 41000, "success", "105", ""},
        {"05-03 07:04:00", "a", "production", 43000, "success", "100", ""},
        {"05-03 07:05:00", "a", "production", 47000, "success", "106",
         R"("previous_device_id":"99",)"},
        {"05-03 07:30:00", "b", "production", 15000, "failed", "202",
         R"("step":"download","error":"Firmware download error",)"},
        {"05-03 07:31:00", "b", "production", 30000, "success", nullptr, ""},
        {"05-04 09:00:00", "a", "production", 40000, "success", "107", ""},
        {"05-02 10:00:00", "a", "test", 60000, "failed", "300",
         R"("step":"commander","error":"nRF image writing error #4",)"},
        {"05-02 10:05:00", "a", "test", 62000, "success", "300", ""},
        {"05-03 08:00:00", "b", "retest", 1200, "success", nullptr, ""},
        {"05-03 08:00:00", "a", "fetch", 300, "failed", nullptr,
         R"("step":"fetch","error":"Unable to open the file on the device: </script><b>\"x\u001b",)"},
    };
    QByteArray journal;
    int n = 0;
    for (const Run& r : runs) {
        const QString id = r.id ? QStringLiteral("\"%1\"").arg(r.id) : QStringLiteral("null");
        journal += QStringLiteral("{\"run\":\"run%1\",\"kind\":\"%2\",\"start\":\"2024-%3.000Z\","
                                  "\"duration_ms\":%4,\"result\":\"%5\",\"device_id\":%6,"
                                  "\"device_id_written\":%7,%8\"station\":\"line-%9\","
                                  "\"host\":\"pc\",\"files\":[{\"size\":1}]}\n")
                       .arg(++n)
                       .arg(r.kind, QString(r.start).replace(' ', 'T'))
                       .arg(r.ms)
                       .arg(r.result, id, strcmp(r.result, "success") ? "false" : "true", r.more,
                            r.station)
                       .toUtf8();
    }
    return journal +
           "{\"run\":\"old\",\"kind\":\"production\",\"start\":\"2024-05-02T08:31:00.000Z\","
           "\"duration_ms\":18000,\"host\":\"line-b\",\"result\":\"failed\",\"error\":\"Firmware "
           "download error\",\"device_id\":\"201\",\"device_id_written\":false}\n"
           "not json\n"
           "{\"kind\":\"production\",\"result\":\"succ";
}

// The sample journal in a folder of its own, the period of its runs, and its report.
struct SampleJournal
{
    bool write()
    {
        m_journal = m_dir.filePath("runs.jsonl");
        m_period.scope = {QDate(2024, 5, 2), QDate(2024, 5, 3), QString()};
        QFile file(m_journal);
        return file.open(QIODevice::WriteOnly) && file.write(sampleJournal()) > 0;
    }
    // The report's output, or its error text.
    QByteArray report(const ReportOptions& options) const
    {
        QByteArray out;
        QString error;
        if (!makeRunReport(m_journal, options, out, error))
            return error.toUtf8();
        return out;
    }

    QTemporaryDir m_dir;
    QString m_journal;
    ReportOptions m_period;
};

} // namespace reportsample
