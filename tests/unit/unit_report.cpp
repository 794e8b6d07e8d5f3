// The report over a station's run journal: every figure of a journal of known runs as text, JSON
// and CSV, and the report command's options.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "report_sample.h"
#include "run_report.h"
#include "unit.h"

namespace {

const char kProduction[] =
    "production: 19 runs, 11 passed, 5 failed, 3 stopped; 10 units\n"
    "  first-pass yield 33.3 % (3 of 9 units), final yield 90.0 % (9 of 10 units), retest rate "
    "80.0 %\n"
    "  13.2 units/h over 0.76 h of activity\n"
    "  passed runs: median 44.0 s, 95th percentile 50.0 s\n"
    "  failed runs: median 20.0 s, 95th percentile 30.0 s\n"
    "  failures by step:\n"
    "    2 x download (40.0 %)\n"
    "    1 x key (20.0 %)\n"
    "    1 x MACs (20.0 %)\n"
    "    1 x unknown step (20.0 %)\n"
    "  failures by red line:\n"
    "    3 x Firmware download error (60.0 %)\n"
    "    1 x Error while MACs getting (20.0 %)\n"
    "    1 x Public key creating error (20.0 %)\n"
    "  stopped runs: 1 x stop, 1 x time limit, 1 x window closed\n"
    "  per day:\n"
    "    2024-05-02: 11 runs, 6 passed, 4 failed, 1 stopped; 7 units, first-pass yield 42.9 %, "
    "final yield 85.7 %, retest rate 57.1 %, 11.0 units/h\n"
    "    2024-05-03: 8 runs, 5 passed, 1 failed, 2 stopped; 5 units, first-pass yield 0.0 %, "
    "final yield 80.0 %, retest rate 40.0 %, 41.2 units/h\n"
    "  per station:\n"
    "    line-a: 14 runs, 8 passed, 3 failed, 3 stopped; 7 units, first-pass yield 33.3 %, "
    "final yield 100.0 %, retest rate 100.0 %, 10.2 units/h\n"
    "    line-b: 5 runs, 3 passed, 2 failed, 0 stopped; 3 units, first-pass yield 33.3 %, "
    "final yield 66.7 %, retest rate 33.3 %, 41.9 units/h\n";

const char kOthers[] =
    "test: 2 runs, 1 passed, 1 failed, 0 stopped; 1 unit\n"
    "  first-pass yield 0.0 % (0 of 1 unit), final yield 100.0 % (1 of 1 unit), retest rate "
    "100.0 %\n"
    "  9.9 units/h over 0.10 h of activity\n"
    "  passed runs: median 62.0 s, 95th percentile 62.0 s\n"
    "  failed runs: median 60.0 s, 95th percentile 60.0 s\n"
    "  failures by step:\n"
    "    1 x commander (100.0 %)\n"
    "  failures by red line:\n"
    "    1 x nRF image writing error #4 (100.0 %)\n"
    "  per day:\n"
    "    2024-05-02: 2 runs, 1 passed, 1 failed, 0 stopped; 1 unit, first-pass yield 0.0 %, "
    "final yield 100.0 %, retest rate 100.0 %, 9.9 units/h\n"
    "  per station:\n"
    "    line-a: 2 runs, 1 passed, 1 failed, 0 stopped; 1 unit, first-pass yield 0.0 %, "
    "final yield 100.0 %, retest rate 100.0 %, 9.9 units/h\n"
    "retest: 1 run, 1 passed, 0 failed, 0 stopped\n"
    "  passed runs: median 1.2 s, 95th percentile 1.2 s\n"
    "  per day:\n"
    "    2024-05-03: 1 run, 1 passed, 0 failed, 0 stopped\n"
    "  per station:\n"
    "    line-b: 1 run, 1 passed, 0 failed, 0 stopped\n"
    "fetch: 1 run, 0 passed, 1 failed, 0 stopped\n"
    "  failed runs: median 0.3 s, 95th percentile 0.3 s\n"
    "  failures by step:\n"
    "    1 x fetch (100.0 %)\n"
    "  failures by red line:\n"
    "    1 x Unable to open the file on the device: </script><b>\"x\\x1b (100.0 %)\n"
    "  per day:\n"
    "    2024-05-03: 1 run, 0 passed, 1 failed, 0 stopped\n"
    "  per station:\n"
    "    line-a: 1 run, 0 passed, 1 failed, 0 stopped\n"
    "Device IDs produced: 9 (100-106, 200-201)\n"
    "Produced more than once: 100\n"
    "Units re-identified: 1 (106 was 99)\n"
    "Malformed lines skipped: 2\n";

} // namespace

class ReportTest : public QObject, private reportsample::SampleJournal
{
    Q_OBJECT
private slots:
    void initTestCase();
    void figures();
    void options_data();
    void options();
};

void ReportTest::initTestCase()
{
    QVERIFY(write());
}

void ReportTest::figures()
{
    ReportOptions o = m_period;
    o.csvFile = m_dir.filePath("runs.csv");
    QCOMPARE(QString::fromUtf8(report(o)), "Run journal: " + m_journal +
                                               "\nPeriod: 2024-05-02 to 2024-05-03 (UTC)\n" +
                                               kProduction + kOthers);

    // One station's figures are its line in the whole report.
    o.scope.station = "line-b";
    o.csvFile.clear();
    QVERIFY(report(o).contains("Station: line-b\nproduction: 5 runs, 3 passed, 2 failed, 0 "
                               "stopped; 3 units\n  first-pass yield 33.3 % (1 of 3 units), final "
                               "yield 66.7 % (2 of 3 units), retest rate 33.3 %\n"));

    QFile csv(m_dir.filePath("runs.csv"));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray rows = csv.readAll();
    QVERIFY(rows.startsWith("run,start_utc,station,kind,result,device_id,device_id_written,"
                            "previous_device_id,step,error,stop_cause,duration_s\r\n"));
    QCOMPARE(rows.count("\r\n"), 24);
    QVERIFY(rows.contains("\r\nrun4,2024-05-02 08:02:00.000,line-a,production,failed,101,false,,"
                          "MACs,Error while MACs getting,,25.000\r\n"));
    QVERIFY(
        rows.contains("\r\nrun17,2024-05-03 07:05:00.000,line-a,production,passed,106,true,99,,,,"
                      "47.000\r\n"));
    QVERIFY(rows.endsWith("\r\nrun24,2024-05-03 08:00:00.000,line-a,fetch,failed,,false,,fetch,"
                          "\"Unable to open the file on the device: </script><b>\"\"x\\x1b\",,"
                          "0.300\r\n"));

    o = m_period;
    o.json = true;
    const QJsonObject json = QJsonDocument::fromJson(report(o)).object();
    QJsonObject production = json["kinds"]["production"].toObject();
    const QJsonObject day = production.take("days").toArray()[0].toObject();
    QCOMPARE(day["day"], QJsonValue("2024-05-02"));
    QCOMPARE(day["passed_median_ms"], QJsonValue(44000)); // the third of six
    QCOMPARE(production.take("stations").toArray()[0].toObject()["first_pass_yield"],
             QJsonValue(0.3333333333333333));
    QCOMPARE(production.take("passed_duration_histogram").toObject(),
             QJsonDocument::fromJson(R"({"from_ms":30000,"bin_ms":1000,"counts":[1,0,0,0,0,0,0,
                 0,0,0,1,1,1,1,1,1,1,1,1,0,1]})")
                 .object());
    QCOMPARE(production, QJsonDocument::fromJson(R"({
        "runs":19,"passed":11,"failed":5,"stopped":3,"unit_runs":18,"units":10,
        "first_run_units":9,"first_pass_units":3,"first_pass_yield":0.3333333333333333,
        "final_pass_units":9,"final_yield":0.9,"retest_rate":0.8,"active_ms":2721000,
        "units_per_hour":13.230429988974642,"passed_median_ms":44000,"passed_p95_ms":50000,
        "failed_median_ms":20000,"failed_p95_ms":30000,
        "failures_by_step":[{"step":"download","count":2,"share":0.4},
            {"step":"key","count":1,"share":0.2},{"step":"MACs","count":1,"share":0.2},
            {"step":"unknown step","count":1,"share":0.2}],
        "failures_by_error":[{"error":"Firmware download error","count":3,"share":0.6},
            {"error":"Error while MACs getting","count":1,"share":0.2},
            {"error":"Public key creating error","count":1,"share":0.2}],
        "stopped_by_cause":[{"cause":"stop","count":1},{"cause":"time limit","count":1},
            {"cause":"window closed","count":1}]})")
                             .object());
    QCOMPARE(json["kinds"]["retest"]["units_per_hour"], QJsonValue());
    QCOMPARE(json["period"], QJsonValue("2024-05-02 to 2024-05-03 (UTC)"));
    QCOMPARE(json["device_ids"].toArray(),
             QJsonArray({"100", "101", "102", "103", "104", "105", "106", "200", "201"}));
    QCOMPARE(json["repeated_device_ids"].toArray(), QJsonArray({"100"}));
    QCOMPARE(json["reidentified"].toArray(),
             QJsonArray({QJsonObject{{"previous_device_id", "99"}, {"device_id", "106"}}}));
    QCOMPARE(json["skipped_lines"], QJsonValue(2));
}

void ReportTest::options_data()
{
    QTest::addColumn<QString>("journal");       // empty: the sample journal; "{...": its lines
    QTest::addColumn<QStringList>("arguments"); // option, value, option, value...
    QTest::addColumn<QString>("error");         // or what the report says, in part
    QTest::newRow("since") << "" << QStringList{"--since", "2024-05-03"}
                           << "Period: 2024-05-03 to 2024-05-04 (UTC)";
    QTest::newRow("until") << "" << QStringList{"--until", "2024-05-01"}
                           << "Period: 2024-05-01 to 2024-05-01 (UTC)";
    QTest::newRow("no date") << "" << QStringList{"--until", "2024-02-30"}
                             << "--until needs a date YYYY-MM-DD, not '2024-02-30'";
    QTest::newRow("until before since")
        << "" << QStringList{"--until", "2024-05-01", "--since", "2024-05-02"}
        << "--until 2024-05-01 is before --since 2024-05-02";
    QTest::newRow("empty station")
        << "" << QStringList{"--station", ""} << "--station needs a value";
    QTest::newRow("unknown") << "" << QStringList{"--device-id", "1"}
                             << "unknown option '--device-id' for report";
    QTest::newRow("page not writable") << "" << QStringList{"--html", "/nonexistent/report.html"}
                                       << "the file '/nonexistent/report.html' cannot be written";
    // Causes come in their own order, an unknown one last whatever its name.
    QTest::newRow("a stop without its cause")
        << QString(R"({"run":"r","kind":"production","start":"2024-06-01T08:00:00.000Z",)"
                   R"("duration_ms":1,"result":"stopped","station":"a"})"
                   "\n"
                   R"({"run":"s","kind":"production","start":"2024-06-01T08:01:00.000Z",)"
                   R"("duration_ms":1,"result":"stopped","stop_cause":"window closed"})"
                   "\n")
        << QStringList() << "stopped runs: 1 x window closed, 1 x unknown cause\n";
    QTest::newRow("journal not readable")
        << "." << QStringList() << "the run journal '.' cannot be read";
    // One unit produced three times with a pause of exactly 30 minutes, one start at hour 24.
    QString runs;
    for (const char* start : {"08:00", "08:31", "08:33", "24:00"})
        runs += QString(R"({"run":"r","kind":"production","start":"2024-06-01T%1:00.000Z",)"
                        R"("duration_ms":60000,"result":"success","device_id":"5",)"
                        R"("device_id_written":true,"station":"a"})"
                        "\n")
                    .arg(start);
    QTest::newRow("a pause of 30 minutes") << runs << QStringList() << "over 0.57 h of activity";
    QTest::newRow("an ID produced thrice, hour 24")
        << runs << QStringList() << "Produced more than once: 5\nMalformed lines skipped: 1\n";
}

void ReportTest::options()
{
    QFETCH(QString, journal);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    ReportOptions o;
    QString message;
    bool ok = true;
    for (int i = 0; ok && i + 1 < arguments.size(); i += 2)
        ok = takeReportOption(o, arguments[i], arguments[i + 1], message);
    if (journal.startsWith('{')) {
        QFile file(m_dir.filePath("own.jsonl"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(journal.toUtf8()) > 0);
        journal = file.fileName();
    }
    QByteArray out;
    if (ok)
        ok = makeRunReport(journal.isEmpty() ? m_journal : journal, o, out, message);
    const QString said = ok ? QString::fromUtf8(out) : message;
    QVERIFY2(said.contains(error), qPrintable(said));
}

UNIT_TEST(ReportTest)
#include "unit_report.moc"
