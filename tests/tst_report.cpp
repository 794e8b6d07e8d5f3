// The report over a station's run journal: every figure of a journal of known runs, as text, JSON,
// CSV and the page a browser shows, and the report command's options.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>

#include "run_report.h"

namespace {

// Two stations over two days, between runs before and after the period: unit 101 fails twice and
// then passes, unit 104 fails on one day and passes on the next, station line-a works for 35
// minutes with a gap of 28 between two runs and then pauses for 35, unit 106 is unit 99
// re-identified, 100 is produced twice, and one line was written before the journal named
// stations and steps.
QByteArray sampleJournal()
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

class tst_report : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void figures();
    void page();
    void options_data();
    void options();

private:
    QByteArray report(ReportOptions options)
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

void tst_report::initTestCase()
{
    m_journal = m_dir.filePath("runs.jsonl");
    QFile file(m_journal);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(sampleJournal());
    m_period.scope = {QDate(2024, 5, 2), QDate(2024, 5, 3), QString()};
}

void tst_report::figures()
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

// The page as a browser shows it: drawn without a script error, with the figures and the plots'
// values, and the journal's texts as text.
void tst_report::page()
{
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/bootstrap installs it)");
    ReportOptions o = m_period;
    o.htmlFile = m_dir.filePath("report.html");
    QVERIFY(!report(o).isEmpty());
    QProcess browser;
    browser.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update",
                             "--disable-sync", "--user-data-dir=" + m_dir.filePath("chromium"),
                             "--dump-dom", QUrl::fromLocalFile(o.htmlFile).toString()});
    QVERIFY(browser.waitForFinished(60000));
    const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
    QVERIFY2(dom.contains("<html lang=\"en\" data-rendered=\"yes\">"), qPrintable(dom.left(300)));
    const QString production =
        dom.section("<section id=\"production\">", 1).section("</section>", 0, 0);
    for (const char* shown :
         {"<td data-figure=\"runs\">19 runs, 11 passed, 5 failed, 3 stopped</td>",
          "<td data-figure=\"first_pass_yield\">33.3 % (3 of 9 units)</td>",
          "<td data-figure=\"final_yield\">90.0 % (9 of 10 units)</td>",
          "<td data-figure=\"retest_rate\">80.0 %</td>",
          "<td data-figure=\"units_per_hour\">13.2 over 0.76 h of activity</td>",
          "<td data-figure=\"passed_durations\">median 44.0 s, 95th percentile 50.0 s</td>",
          "<td data-figure=\"stopped\">1 x stop, 1 x time limit, 1 x window closed</td>",
          "<title>2024-05-02: first-pass yield 42.9 %</title>",
          "<title>2024-05-03: final yield 80.0 %</title>",
          "<title>2024-05-03: units per hour 41.2</title>", "<title>download: failures 2</title>",
          "<title>MACs: cumulative share 80.0 %</title>", "<title>50.0–51.0 s: runs 1</title>",
          "<tr><td>line-b</td><td class=\"n\">5</td><td class=\"n\">3</td><td class=\"n\">2</td>"
          "<td class=\"n\">0</td><td class=\"n\">3</td><td class=\"n\">33.3 %</td><td "
          "class=\"n\">66.7 %</td><td class=\"n\">33.3 %</td><td class=\"n\">41.9</td></tr>"})
        QVERIFY2(production.contains(QString::fromUtf8(shown)), shown);
    QVERIFY(dom.contains("<td>Unable to open the file on the device: &lt;/script&gt;&lt;b&gt;\"x"
                         "\\x1b</td>"));
    QVERIFY(dom.contains("<li>Units re-identified: 1 (106 was 99)</li>"));
}

void tst_report::options_data()
{
    QTest::addColumn<QString>("journal");       // empty: the sample journal
    QTest::addColumn<QStringList>("arguments"); // option, value, option, value...
    QTest::addColumn<QString>("error");         // or the report's period line
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
    QTest::newRow("journal not readable")
        << "." << QStringList() << "the run journal '.' cannot be read";
}

void tst_report::options()
{
    QFETCH(QString, journal);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    ReportOptions o;
    QString message;
    bool ok = true;
    for (int i = 0; ok && i + 1 < arguments.size(); i += 2)
        ok = takeReportOption(o, arguments[i], arguments[i + 1], message);
    QByteArray out;
    if (ok)
        ok = makeRunReport(journal.isEmpty() ? m_journal : journal, o, out, message);
    QCOMPARE(ok ? QString::fromUtf8(out).section('\n', 1, 1) : message, error);
}

QTEST_GUILESS_MAIN(tst_report)
#include "tst_report.moc"
