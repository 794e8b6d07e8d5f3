// The line database's sender: a journal of 100,000 runs sent to the server (entries per second;
// goal: at least 2,000), then the time from a run's journal line to its row being visible on a
// quiet line with the sender thread looking every 250 ms (goal: under 1 s); and the station's
// Device ID allocator: IDs per second with its state synced to disk, and the rebuild from that
// journal. Uses the server of VELTORA_DATABASE, or starts a throw-away cluster (root: as postgres).
//   line_sync [runs]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "append_file.h"
#include "device_id_allocator.h"
#include "line_database.h"
#include "line_sender.h"
#include "run_record.h"

namespace {

QByteArray sampleLine(int i, const QDateTime& start)
{
    RunRecord r;
    r.id = QString::number(0x200000000000ll + i, 16);
    r.kind = "production";
    r.start = start.addSecs(i * 40);
    r.end = r.start.addMSecs(41000);
    r.version = "2.1.6";
    r.host = "station-a";
    r.deviceIdAsked = r.deviceIdWritten = true;
    r.deviceId = 100000 + quint64(i);
    r.port = "/dev/ttyACM0";
    r.firmware = "VELTORA-FW 3.2.0";
    r.result = RunRecord::Result::Success;
    const QByteArray hash(64, 'a');
    r.files = {{"Updates/nRF_Update_c.bin", 412000, hash},
               {"Updates/ESP_Update_c.bin", 1300000, hash},
               {"config.txt", 20, hash}};
    const QByteArray mac = QByteArray::number(i % 256, 16).rightJustified(2, '0').toUpper();
    return r.toJsonLine().replace("\"files\"", "\"key\":\"" + QByteArray(44, 'K') +
                                                   "\",\"wifi_mac\":\"02:AB:00:00:01:" + mac +
                                                   "\",\"ethernet_mac\":\"02:AB:00:00:02:" + mac +
                                                   "\",\"files\"");
}

// A throw-away cluster on a Unix socket in folder; the settings' connection to it.
bool startCluster(const QString& folder, ConnectionParams& c)
{
    QStringList versions = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() < b.toInt(); });
    if (versions.isEmpty())
        return false;
    const QString bin = "/usr/lib/postgresql/" + versions.last() + "/bin/";
    auto run = [&](const QString& program, const QStringList& args) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (::geteuid() == 0)
            p.start("runuser", QStringList{"-u", "postgres", "--", bin + program} + args);
        else
            p.start(bin + program, args);
        return p.waitForFinished(120000) && p.exitCode() == 0;
    };
    QFile::setPermissions(folder, QFileDevice::Permissions(0x7777));
    if (!run("initdb", {"-D", folder + "/data", "-U", "veltora", "-A", "trust", "--no-sync",
                        "--no-locale", "-E", "UTF8"}) ||
        !run("pg_ctl", {"-D", folder + "/data", "-l", folder + "/log", "-w", "-o",
                        "-k " + folder + " -c listen_addresses=''", "start"}))
        return false;
    c.host = folder;
    c.user = "veltora";
    c.database = "postgres";
    c.options = "connect_timeout=3";
    return true;
}

double seconds(const QElapsedTimer& t)
{
    return double(t.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir cluster, station;
    LineSettings line;
    line.station = "station-a";
    if (qEnvironmentVariableIsSet("VELTORA_DATABASE")) {
        line = readLineSettings(station.path());
        line.station = "station-a";
    } else if (!startCluster(cluster.path(), line.connection)) {
        std::fprintf(stderr, "line_sync: no PostgreSQL server\n");
        return 1;
    }
    const QDateTime start(QDate(2024, 5, 6), QTime(8, 0), Qt::UTC);
    QDir().mkpath(station.filePath("Logs"));
    const QString journal = station.filePath("Logs/runs.jsonl");
    {
        QFile file(journal);
        file.open(QIODevice::WriteOnly);
        for (int i = 0; i < runs; ++i)
            file.write(sampleLine(i, start));
        std::printf("journal: %d runs, %.1f MiB\n", runs, file.size() / 1048576.0);
    }

    QElapsedTimer t;
    {
        LineSender sender(station.path(), line);
        t.start();
        const LineSender::Outcome outcome = sender.sendPending();
        std::printf("sent: %d runs in %.2f s, %.0f entries/s%s\n", runs, seconds(t),
                    runs / seconds(t), outcome == LineSender::Outcome::CaughtUp ? "" : " (FAILED)");
    }

    // A quiet line: one run now and then, its row looked for from another connection.
    QVector<double> visibleMs;
    {
        LineSenderThread sender(station.path(), line);
        sender.start();
        LineDatabase check(line.connection, "check");
        QSqlDatabase db = check.connection();
        db.open();
        for (int i = runs; i < runs + 20; ++i) {
            QThread::msleep(100 + (i * 37) % 400);
            const QByteArray l = sampleLine(i, start);
            t.start();
            appendShared(journal, l);
            const QString id = QString::number(0x200000000000ll + i, 16);
            QSqlQuery q(db);
            while (!(q.exec("SELECT 1 FROM runs WHERE run = '" + id + "'") && q.next()) &&
                   t.elapsed() < 10000)
                QThread::msleep(2);
            visibleMs << t.nsecsElapsed() / 1e6;
        }
        db = QSqlDatabase();
    }
    std::sort(visibleMs.begin(), visibleMs.end());
    std::printf("run end to visible row: median %.0f ms, max %.0f ms (20 runs)\n",
                visibleMs[visibleMs.size() / 2], visibleMs.last());

    DeviceIdAllocator ids(station.path());
    ids.setFirstId(1);
    quint64 id = 0;
    t.start();
    (void)ids.allocate(id);
    std::printf("allocator rebuilt from the journal of %d runs: %.0f ms\n", runs,
                seconds(t) * 1000);
    t.start();
    int taken = 0;
    while (t.elapsed() < 2000 && ids.allocate(id) == DeviceIdAllocator::Result::Ok)
        ++taken;
    std::printf("allocations: %.0f IDs/s (%.2f ms each, state synced to disk)\n",
                taken / seconds(t), seconds(t) * 1000 / taken);
    return 0;
}
