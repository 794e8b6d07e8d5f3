// The run journal and the day logs that every run leaves in its station folder.
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSysInfo>
#include <QThread>
#include <QtTest>
#include <thread>

#include "device_id_history.h"
#include "prod_fixture.h"
#include "run_host.h"
#include "run_journal.h"
#include "run_record.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;
using Kind = RunSettings::Kind;

namespace {

QByteArray sha256(const QString& path)
{
    return QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha256).toHex();
}

QList<QJsonObject> journalLines(const QString& path)
{
    QList<QJsonObject> lines;
    for (const QByteArray& line : readAll(path).split('\n')) {
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    }
    return lines;
}

} // namespace

class tst_journal : public QObject
{
    Q_OBJECT
private slots:
    void runLeavesItsLine_data();
    void runLeavesItsLine();
    void concurrentAppendsStayWhole();
    void deviceIdHistory();
};

void tst_journal::runLeavesItsLine_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("plugged");
    QTest::addColumn<int>("fault");    // a command the device leaves unanswered
    QTest::addColumn<QString>("stop"); // stopped with this cause while searching for the device
    // "Logs": a file in place of the folder; "Logs/runs.jsonl": a folder in place of the journal
    QTest::addColumn<QString>("blocked");
    // TZ, far from UTC; "far": one on another date than UTC now; empty: as the suite runs
    QTest::addColumn<QByteArray>("zone");
    // The journal shows the device's ID (0) produced before: the run re-identifies it openly.
    QTest::addColumn<bool>("produced");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QStringList>("files"); // device paths of the files sent or fetched
    QTest::addColumn<QStringList>("images");

    const QStringList production = {"Updates/nRF_Update_c.bin", "Updates/ESP_Update_c.bin",
                                    "Updates/NRF_Bootloader_c.bin", "config.txt"};
    const QStringList none;
    const QString no;
    const auto row = [&](const char* name, Kind k, bool plugged, int fault, const QString& stop,
                         const QString& blocked, bool produced, const char* result,
                         const QString& error, const QString& step, const QStringList& files,
                         const QStringList& images, const QByteArray& zone = {}) {
        QTest::newRow(name) << int(k) << plugged << fault << stop << blocked << zone << produced
                            << QString(result) << error << step << files << images;
    };
    const Kind p = Kind::Production;
    // Far east and far west of UTC: one of the two is on another date at any hour.
    row("production", p, true, 0, no, no, false, "success", no, no, production, none,
        "Pacific/Kiritimati");
    row("re-identified production", p, true, 0, no, no, true, "success", no, no, production, none);
    row("failed download", p, true, 0x02, no, no, false, "failed", "Firmware download error",
        "download", none, none, "America/Adak");
    row("failed Device ID", p, true, 0x06, no, no, false, "failed",
        "Error while the Device ID writing", "Device ID", production, none);
    row("failed production", p, true, 0x0A, no, no, false, "failed", "Error while MACs getting",
        "MACs", production, none);
    row("stopped", p, false, 0, "stop", no, false, "stopped", no, no, none, none);
    row("stopped by the time limit", p, false, 0, "time limit", no, false, "stopped", no, no, none,
        none);
    row("test", Kind::Test, false, 0, no, no, false, "success", no, no,
        {"Updates/ESP_Update_c.bin", "testcfg.txt"}, {"nrf52840_test.hex"});
    row("fetch", Kind::Fetch, true, 0, no, no, false, "success", no, no, {"testres.bin"}, none);
    row("failed fetch", Kind::Fetch, true, 0x12, no, no, false, "failed",
        "Unable to open the file on the device: testres.bin", "fetch", none, none);
    row("logs not writable", Kind::Fetch, true, 0, no, "Logs", false, "success", no, no, none,
        none);
    row("journal not writable", Kind::Fetch, true, 0, no, "Logs/runs.jsonl", false, "success", no,
        no, none, none, "far");
}

// The journal line read back field by field, and the day log against the lines the run showed.
void tst_journal::runLeavesItsLine()
{
    QFETCH(int, kind);
    QFETCH(bool, plugged);
    QFETCH(int, fault);
    QFETCH(QString, stop);
    QFETCH(QString, blocked);
    QFETCH(QByteArray, zone);
    QFETCH(bool, produced);
    QFETCH(QString, result);
    QFETCH(QString, error);
    QFETCH(QString, step);
    QFETCH(QStringList, files);
    QFETCH(QStringList, images);

    Bench bench;
    QVERIFY(bench.useExampleStation());
    const QString station = bench.station();
    if (blocked == "Logs")
        QVERIFY(writeFile(station + "/Logs", "a file, not a folder"));
    else if (!blocked.isEmpty())
        QVERIFY(QDir().mkpath(station + "/" + blocked));
    if (zone == "far")
        zone = QDateTime::currentDateTimeUtc().time().hour() >= 10 ? "Pacific/Kiritimati"
                                                                   : "Etc/GMT+12";
    if (zone.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    tzset();
    RunRecord before;
    before.kind = "production";
    before.deviceIdAsked = before.deviceIdWritten = true;
    before.result = RunRecord::Result::Success;
    if (produced)
        QVERIFY(appendRunRecord(station + "/Logs/runs.jsonl", before));
    devsim::Config config = bench.config();
    config.pluggedAtStart = plugged;
    // A line break of the device's must not start a day-log line of its own.
    config.firmwareVersion = "VELTORA-FW\n3.2.0";
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    if (fault)
        device->setFault(uint8_t(fault), devsim::Fault{devsim::ErrorMode::NoAnswer, 0, -1});
    QVERIFY(writeFile(bench.fsRoot() + "/testres.bin", "test history"));

    QThread thread;
    Logger_c logger;
    // What the day log must hold, in the order the run logged it: its lines, and the commander's
    // output under the word "tool" (on the run's thread, read once it has ended).
    const char* words[] = {"info", "error", "warning", "result", "ok"};
    QStringList expected;
    connect(
        &logger, &Logger_c::sigLine, &logger,
        [&](const QString& text, LogColour colour) {
            expected << QString(words[int(colour)]) + ' ' + text;
        },
        Qt::DirectConnection);
    connect(
        &logger, &Logger_c::sigTrace, &logger,
        [&](const QString& text) { expected << "tool " + text; }, Qt::DirectConnection);
    if (kind == int(Kind::Test)) {
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, station + "/JLinkExe"));
        // A programmed device comes up as a port that was not there when the ports were listed.
        connect(
            &logger, &Logger_c::sigLog, &logger,
            [device](const QString& line) {
                if (line == "0Flashing the nrf52840_test.hex image...")
                    device->plug();
            },
            Qt::DirectConnection);
    }
    RunHost host(thread, logger);
    Recorder recorder;
    recorder.attach(logger);
    QSignalSpy finished(&host, &RunHost::sigFinished);
    QSignalSpy frontEndLines(&host, &RunHost::sigLine);
    RunSettings settings;
    settings.kind = Kind(kind);
    settings.deviceId = Q_UINT64_C(18446744073709551615);
    settings.fetchFolder = bench.path();
    settings.fetchSelector = 1;
    settings.fetchNames = QStringList{"testres.bin"};
    host.start(settings, [](Flashing_c& worker) { worker.protocol()->setTimeoutLimitMs(100); });
    if (!stop.isEmpty()) {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.log.contains("0Searching for the device's COM port"),
                                 10000);
        // join() stops a run that is still going itself, as "stop"; a cause given before holds.
        if (stop != "stop")
            host.stop(stop);
    } else {
        QVERIFY(finished.wait(30000));
        QCOMPARE(finished.first().first().toBool(), result == "success");
    }
    host.join();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(finished.isEmpty(), !stop.isEmpty());
    // The front ends show it once, in red.
    QCOMPARE(std::count_if(frontEndLines.begin(), frontEndLines.end(),
                           [](const QList<QVariant>& line) {
                               return line[0] == "Run journal writing error" &&
                                      line[1].value<LogColour>() == LogColour::Red;
                           }),
             blocked.isEmpty() ? 0 : 1);
    if (blocked == "Logs")
        return;

    // Every line the run showed and every line the commander printed, in its UTC day's file,
    // stamped and tagged with the run; the journal's writing error last, where it failed.
    expected.replaceInStrings("\n", "\\x0a");
    QCOMPARE(expected.count("tool Cortex-M4 identified."), kind == int(Kind::Test) ? 1 : 0);
    if (!blocked.isEmpty())
        expected << "error Run journal writing error";
    QStringList shown;
    QString runId;
    const QRegularExpression stamped("^(\\d{4}-\\d\\d-\\d\\d)T\\S+Z ([0-9a-f]{12}) (.*)$");
    for (const QString& name :
         QDir(station + "/Logs").entryList({"*.log"}, QDir::Files, QDir::Name)) {
        for (const QString& line : QString::fromUtf8(readAll(station + "/Logs/" + name))
                                       .split('\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = stamped.match(line);
            QVERIFY2(m.hasMatch() && m.captured(1) + ".log" == name, qPrintable(line));
            if (runId.isEmpty())
                runId = m.captured(2);
            QCOMPARE(m.captured(2), runId);
            shown << m.captured(3);
        }
    }
    QCOMPARE(shown, expected);
    if (!blocked.isEmpty())
        return;

    const QList<QJsonObject> lines = journalLines(station + "/Logs/runs.jsonl");
    QCOMPARE(lines.size(), produced ? 2 : 1);
    const QJsonObject run = lines.last();
    QCOMPARE(run["previous_device_id"], produced ? QJsonValue("0") : QJsonValue());
    QCOMPARE(recorder.log.count("0Re-identifying the device: it was produced with Device ID 0 and "
                                "gets Device ID 18446744073709551615"),
             produced ? 1 : 0);
    const char* kinds[] = {"production", "test", "retest", "fetch"};
    QCOMPARE(run["kind"].toString(), QString(kinds[kind]));
    QCOMPARE(run["result"].toString(), result);
    QCOMPARE(run["error"], error.isEmpty() ? QJsonValue() : QJsonValue(error));
    QCOMPARE(run["step"], step.isEmpty() ? QJsonValue() : QJsonValue(step));
    QCOMPARE(run["stop_cause"], stop.isEmpty() ? QJsonValue() : QJsonValue(stop));
    QCOMPARE(run["version"].toString(), QString("2.1.6"));
    QCOMPARE(run["host"].toString(), QSysInfo::machineHostName());
    QCOMPARE(run["station"].toString(), QSysInfo::machineHostName());
    const QRegularExpression utcMs("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
    QVERIFY(utcMs.match(run["start"].toString()).hasMatch());
    QVERIFY(utcMs.match(run["end"].toString()).hasMatch());
    const QDateTime start = QDateTime::fromString(run["start"].toString(), Qt::ISODateWithMs);
    const QDateTime end = QDateTime::fromString(run["end"].toString(), Qt::ISODateWithMs);
    QCOMPARE(run["duration_ms"].toDouble(), double(start.msecsTo(end)));
    QCOMPARE(run["device_id"],
             kind == int(Kind::Fetch) ? QJsonValue() : QJsonValue("18446744073709551615"));
    QCOMPARE(run["device_id_written"].toBool(), kind != int(Kind::Fetch) && stop.isEmpty() &&
                                                    step != "download" && step != "Device ID");
    const QString port = QString::fromStdString(device->portPath());
    QCOMPARE(run["port"], stop.isEmpty() ? QJsonValue(port) : QJsonValue());
    QCOMPARE(run["firmware"], stop.isEmpty() ? QJsonValue("VELTORA-FW\n3.2.0") : QJsonValue());

    // What the device holds is what was sent (or what was fetched): the hashes must match it.
    const QJsonArray sent = run[kind == int(Kind::Fetch) ? "fetched" : "files"].toArray();
    QCOMPARE(sent.size(), files.size());
    for (int i = 0; i < files.size(); ++i) {
        const QJsonObject f = sent[i].toObject();
        QCOMPARE(f["device_path"].toString(), files[i]);
        QCOMPARE(f["sha256"].toString().toLatin1(), sha256(bench.fsRoot() + "/" + files[i]));
        QCOMPARE(f["size"].toDouble(), double(QFileInfo(bench.fsRoot() + "/" + files[i]).size()));
    }
    const QJsonArray programmed = run["images"].toArray();
    QCOMPARE(programmed.size(), images.size());
    for (int i = 0; i < images.size(); ++i) {
        const QJsonObject image = programmed[i].toObject();
        QCOMPARE(image["name"].toString(), images[i]);
        QCOMPARE(image["sha256"].toString().toLatin1(),
                 sha256(station + "/TestFiles/" + images[i]));
        QCOMPARE(image["exit_code"].toInt(-1), 0);
        QCOMPARE(image["failure"], QJsonValue());
    }
    QCOMPARE(run["run"].toString(), runId);
}

// Two writers on one journal, with a torn line from a writer that died before them: every line
// they wrote parses, and the torn one spoils only itself.
void tst_journal::concurrentAppendsStayWhole()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Logs/runs.jsonl");
    QVERIFY(writeFile(path, "{\"kind\":\"produc"));
    const auto writer = [&path](QChar c) {
        RunRecord record;
        record.kind = QString(30000, c); // lines longer than a page and a pipe buffer
        for (int i = 0; i < 200; ++i)
            appendRunRecord(path, record);
    };
    std::thread a(writer, QChar('a'));
    std::thread b(writer, QChar('b'));
    a.join();
    b.join();
    const QList<QByteArray> lines = readAll(path).split('\n');
    QCOMPARE(lines.size(), 402); // the torn line, 400 lines and the empty rest after the last
    QVERIFY(lines.last().isEmpty());
    for (int i = 1; i <= 400; ++i) {
        const QString kind = QJsonDocument::fromJson(lines[i]).object()["kind"].toString();
        QVERIFY2(kind == QString(30000, 'a') || kind == QString(30000, 'b'),
                 qPrintable(QString::number(i)));
    }
}

// A journal longer than the line finder's 4 MiB block, the line that matters across the block's
// end, and a torn line at the end: only whole entries that wrote their ID count.
void tst_journal::deviceIdHistory()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.jsonl");
    RunRecord r;
    r.kind = "production";
    r.result = RunRecord::Result::Success;
    r.deviceIdAsked = true;
    r.deviceId = 7;
    r.host = QString(3000, 'h');
    QByteArray journal;
    const QByteArray asked = r.toJsonLine(); // asked for 7, but did not write it
    while (journal.size() + asked.size() < 4 * 1024 * 1024)
        journal += asked;
    r.id = "0000000000a7";
    r.start = QDateTime::fromString("2024-05-06T08:31:13.373Z", Qt::ISODateWithMs);
    r.deviceIdWritten = true;
    journal += r.toJsonLine();
    journal +=
        "{\"device_id\":\"8\",\"device_id_written\":true,\"kind\":\"production\",\"result\":\"succ";
    QVERIFY(writeFile(path, journal));

    DeviceIdHistory history;
    QVERIFY(readDeviceIdHistory(path, 7, 8, history));
    QVERIFY(history.given && !history.heldProduced);
    QCOMPARE(history.givenRun, QString("0000000000a7"));
    QCOMPARE(history.givenStart, QString("2024-05-06T08:31:13.373Z"));
    QVERIFY(readDeviceIdHistory(path, 8, 7, history));
    QVERIFY(!history.given && history.heldProduced);
}

QTEST_GUILESS_MAIN(tst_journal)
#include "tst_journal.moc"
