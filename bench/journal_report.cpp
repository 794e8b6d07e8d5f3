// The report over a station's run journal of 100,000 runs (the goal: under 1 s), next to a
// reader that builds a JSON document per line, and the Device ID check a production run makes
// before it writes an ID. Prints the journal's size and the times.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "device_id_history.h"
#include "run_record.h"
#include "run_report.h"

namespace {

// A production, test or fetch run as the run host writes it on one of two stations; one in ten
// fails (and its unit comes again in the next run), one in fifty stops.
RunRecord sampleRun(int i, const QDateTime& start)
{
    RunRecord r;
    r.id = QString::number(0x100000000000ll + i, 16);
    r.kind = i % 10 < 7 ? "production" : i % 10 < 9 ? "test" : "fetch";
    r.start = start.addSecs(i * 40);
    r.end = r.start.addMSecs(30000 + (i * 7919) % 20000);
    r.version = "2.1.6";
    r.host = i % 2 ? "station-a" : "station-b";
    r.station = r.host;
    r.deviceIdAsked = r.kind != "fetch";
    r.deviceId = 100000 + quint64(i - (i % 10 == 4));
    r.deviceIdWritten = r.deviceIdAsked;
    r.port = "/dev/ttyACM0";
    r.firmware = "VELTORA-FW 3.2.0";
    const QByteArray hash(64, 'a');
    if (r.kind == "fetch")
        r.fetched = {{"testres.bin", 4096, hash}};
    else
        r.files = {{"Updates/nRF_Update_c.bin", 412000, hash},
                   {"Updates/ESP_Update_c.bin", 1300000, hash},
                   {"Updates/NRF_Bootloader_c.bin", 24000, hash},
                   {"config.txt", 20, hash}};
    if (r.kind == "test")
        r.images = {{"nrf52840_test.hex", hash, 0, {}}};
    r.result = i % 50 == 0   ? RunRecord::Result::Stopped
               : i % 10 == 3 ? RunRecord::Result::Failed
                             : RunRecord::Result::Success;
    if (r.result == RunRecord::Result::Failed) {
        r.error = i % 20 == 3 ? "Firmware download error" : "Error while MACs getting";
        r.step = i % 20 == 3 ? "download" : "MACs";
    }
    r.stopCause = "stop";
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    const QString path = dir.filePath("runs.jsonl");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-60);
    for (int i = 0; i < runs; ++i)
        file.write(sampleRun(i, start).toJsonLine());
    file.close();

    QElapsedTimer timer;
    timer.start();
    QByteArray text;
    QString error;
    makeRunReport(path, ReportOptions(), text, error);
    const qint64 reportMs = timer.elapsed();

    // The same with the JSON, the CSV and the page written as well.
    timer.restart();
    ReportOptions all;
    all.json = true;
    all.csvFile = dir.filePath("runs.csv");
    all.htmlFile = dir.filePath("report.html");
    QByteArray json;
    makeRunReport(path, all, json, error);
    const qint64 allMs = timer.elapsed();

    timer.restart();
    int parsed = 0;
    file.open(QIODevice::ReadOnly);
    while (!file.atEnd())
        parsed += QJsonDocument::fromJson(file.readLine()).isObject();
    const qint64 documentMs = timer.elapsed();

    // Neither ID in the journal: every line is searched. Then an ID that the last production run
    // wrote, as IDs of the line's own range look.
    DeviceIdHistory history;
    timer.restart();
    readDeviceIdHistory(path, 200000 + quint64(runs), 1, history);
    const qint64 absentMs = timer.elapsed();
    int last = runs - 1;
    while (last % 10 >= 7 || last % 10 == 3 || last % 50 == 0)
        --last;
    timer.restart();
    readDeviceIdHistory(path, 100000 + quint64(last), 200000 + quint64(runs), history);
    const qint64 lastMs = timer.elapsed();

    std::printf("journal: %d runs, %.1f MiB\n", runs, double(QFile(path).size()) / 1048576.0);
    std::printf("report: %lld ms (%d bytes of text)\n", reportMs, text.size());
    std::printf("report as JSON, with the CSV and the page: %lld ms\n", allMs);
    std::printf("a JSON document per line, reading only: %lld ms (%d lines)\n", documentMs, parsed);
    std::printf("Device ID check: %lld ms for IDs it does not hold, %lld ms for the last run's "
                "(%s)\n",
                absentMs, lastMs, history.given ? "found" : "not found");
    return text.isEmpty() ? 1 : 0;
}
