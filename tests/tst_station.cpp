// veltora-cli station end to end against four simulated units: the Device IDs it gives, the
// records of each unit, units that come, stay, go or are stopped, and two processes (or a killed
// one) on one station folder.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <csignal>

#include "prod_fixture.h"

using namespace prodtest;

namespace {

constexpr int kBoundMs = 30000;

QList<QJsonObject> journal(const QString& station)
{
    QList<QJsonObject> entries;
    for (const QByteArray& line : readAll(station + "/Logs/runs.jsonl").split('\n')) {
        if (!line.isEmpty())
            entries << QJsonDocument::fromJson(line).object();
    }
    return entries;
}

} // namespace

class tst_station : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_bench = std::make_unique<Bench>();
        QVERIFY(m_bench->useExampleStation());
    }
    void cleanup()
    {
        for (QProcess* p : m_processes)
            p->kill();
        qDeleteAll(m_processes);
        m_processes.clear();
        m_units.clear();
        m_bench.reset();
    }
    void station_data();
    void station();
    void sharedStationFolder_data();
    void sharedStationFolder();

private:
    // Unit i on its own port; a replacement takes an earlier unit's port with another serial
    // number, Device ID and MAC. Unit 5 is unit 0 come back (its serial number) with another
    // Device ID and MAC.
    devsim::Device* plug(int i, bool serials, int place = -1, int rebootDelayMs = 30)
    {
        devsim::Config c = m_bench->config(place < 0 ? i : place);
        c.rebootDelayMs = rebootDelayMs;
        c.fsRoot = m_bench->fsRoot(i).toStdString();
        c.seed = unsigned(i + 1);
        c.deviceId = 7 + quint64(i > 3 ? i : 0);
        c.wifiMac[5] = uint8_t(m_units.size()); // the order plugged in
        if (serials)
            c.usbSerial = "SIM" + std::to_string(i % 5);
        devsim::Device* unit = m_bench->start(c);
        m_units << unit;
        return unit;
    }
    QProcess* cli(const QStringList& args)
    {
        auto* p = new QProcess;
        m_processes << p;
        p->start(QStringLiteral(VELTORA_CLI),
                 QStringList{args.first(), "--station-dir", m_bench->station()} + args.mid(1));
        return p;
    }
    // What the process printed so far, once it has printed `text`.
    static QString waitFor(QProcess& p, QString& out, const QString& text)
    {
        QElapsedTimer t;
        t.start();
        while (!out.contains(text) && t.elapsed() < kBoundMs && p.state() != QProcess::NotRunning)
            if (p.waitForReadyRead(100))
                out += QString::fromUtf8(p.readAllStandardOutput());
        out += QString::fromUtf8(p.readAllStandardOutput());
        return out;
    }
    void checkRecords(int passed);

    std::unique_ptr<Bench> m_bench;
    QList<devsim::Device*> m_units;
    QList<QProcess*> m_processes;
};

// Every key and MAC line names a unit that holds its ID, with that unit's key and MAC, and every
// unit that passed holds a Device ID of its own.
void tst_station::checkRecords(int passed)
{
    const auto holder = [&](quint64 id) -> devsim::Device* {
        devsim::Device* found = nullptr;
        for (devsim::Device* unit : qAsConst(m_units)) {
            if (unit->deviceId() == id) {
                if (found)
                    return nullptr;
                found = unit;
            }
        }
        return found;
    };
    QList<QByteArray> keys = readAll(m_bench->station() + "/Keys/public_keys.json").split('\n');
    QList<QByteArray> macs = readAll(m_bench->station() + "/MAC/MACs.txt").split('\n');
    keys.removeAll(QByteArray());
    macs.removeAll(QByteArray());
    QCOMPARE(keys.size(), passed);
    QCOMPARE(macs.size(), passed ? passed + 1 : 0);
    for (const QByteArray& line : qAsConst(keys)) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        devsim::Device* unit = holder(quint64(record["device_id"].toDouble()));
        QVERIFY2(unit, line.constData());
        const std::vector<uint8_t> key = unit->publicKey();
        QCOMPARE(record["key"].toString().toLatin1(),
                 QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toBase64());
    }
    for (const QByteArray& line : macs.mid(1)) {
        devsim::Device* unit = holder(line.split('\t').first().toULongLong());
        QVERIFY2(unit, line.constData());
        QCOMPARE(line.split('\t').at(1).right(2).toInt(nullptr, 16), m_units.indexOf(unit));
    }
}

void tst_station::station_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("serials"); // else a unit is told by its place and the ID it holds
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("passed");
    QTest::addColumn<QString>("lastLine"); // without the time taken
    const QString fourPassed = "PASS station: 4 passed, 0 failed, first-pass yield 100.0 %, ";
    // The count is of units: a fourth is not started while the third runs.
    QTest::newRow("four units, two at a time, three counted")
        << "" << true << QStringList{"--slots", "2", "--count", "3", "--json"} << 0 << 3 << "";
    // The first three restart and stay plugged in; only the fourth is run after them.
    QTest::newRow("finished units stay, a fourth comes")
        << "later" << true << QStringList{"--count", "4"} << 0 << 4 << fourPassed;
    QTest::newRow("finished units stay, told by their IDs")
        << "later" << false << QStringList{"--count", "4"} << 0 << 4 << fourPassed;
    QTest::newRow("a unit pulled in its restart, another in its place")
        << "pulled" << false << QStringList{"--count", "5", "--restart-wait", "1"} << 1 << 4
        << "FAIL station: 4 passed, 1 failed, first-pass yield 80.0 %, ";
    QTest::newRow("a unit pulled in its restart, another plugged in at once")
        << "pulled at once" << true << QStringList{"--count", "5", "--restart-wait", "1"} << 1 << 4
        << "FAIL station: 4 passed, 1 failed, first-pass yield 80.0 %, ";
    // Known by its serial number on another port, its second run is no first run.
    QTest::newRow("a unit pulled in its restart comes back elsewhere")
        << "pulled, back" << true << QStringList{"--count", "5", "--restart-wait", "1"} << 1 << 4
        << "FAIL station: 4 passed, 1 failed, first-pass yield 75.0 %, ";
    // A unit that never told its ID fails once: nothing says it is another unit. One at a time,
    // the first place is the first to get a free slot.
    QTest::newRow("a unit that does not tell its ID")
        << "unread" << false << QStringList{"--slots", "1", "--count", "4"} << 1 << 3
        << "FAIL station: 3 passed, 1 failed, first-pass yield 75.0 %, ";
    QTest::newRow("Ctrl-C in the downloads")
        << "interrupt" << true << QStringList() << 130 << 0
        << "STOPPED station: 0 passed, 0 failed, first-pass yield -, 0.0 units/h, ";
}

void tst_station::station()
{
    QFETCH(QString, event);
    QFETCH(bool, serials);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(int, passed);
    QFETCH(QString, lastLine);
    for (int i = 0; i < (event == "later" ? 3 : 4); ++i) {
        // Unit 0 of "pulled" restarts slowly enough to be pulled in its restart.
        devsim::Device* unit =
            plug(i, serials, -1, event.startsWith("pulled") && i == 0 ? 10000 : 30);
        QVERIFY(unit);
        if (event == "interrupt")
            unit->setFault(0x03, devsim::Fault{devsim::ErrorMode::Delay, 200, -1});
        if (event == "unread" && i == 0)
            unit->setFault(0x0b, devsim::Fault{devsim::ErrorMode::NoAnswer, 0, -1});
    }
    QProcess& p = *cli(QStringList{"station", "--first-id", "1000"} + args);
    QString out;
    if (event == "later") {
        // Back from their last restart and seen there by the station a few times over.
        for (devsim::Device* unit : qAsConst(m_units))
            QTRY_VERIFY_WITH_TIMEOUT(unit->rebootCount() == 2 && unit->plugged(), kBoundMs);
        QTest::qWait(1000);
        QVERIFY(plug(3, serials));
    }
    if (event.startsWith("pulled")) {
        QTRY_VERIFY_WITH_TIMEOUT(m_units[0]->rebootCount() == 1, kBoundMs);
        m_units[0]->stop();
        // At once, the new unit is at the place while the pulled unit's run still waits.
        if (event != "pulled at once")
            waitFor(p, out, m_units[0]->portPath().c_str() + QString(" FAIL production"));
        QVERIFY(event == "pulled, back" ? plug(5, serials) : plug(4, serials, 0));
    }
    if (event == "interrupt") {
        for (devsim::Device* unit : qAsConst(m_units))
            QVERIFY(unit->waitForRequests(0x03, 1, kBoundMs));
        ::kill(pid_t(p.processId()), SIGINT);
    }
    const bool ended = p.waitForFinished(kBoundMs);
    out += QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(ended, qPrintable(out.right(2000)));
    QCOMPARE(p.exitCode(), exitCode);
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    if (!lastLine.isEmpty())
        QVERIFY2(lines.last().startsWith(lastLine), qPrintable(out));

    // Each unit ran once at most; those that passed hold IDs from the first one on, each its own.
    QList<quint64> given;
    for (devsim::Device* unit : qAsConst(m_units)) {
        const int written = countOf(unit->commandCodes(), 0x06);
        QVERIFY(written <= (exitCode == 130 ? 0 : 1));
        if (written)
            given << unit->deviceId();
    }
    QCOMPARE(given.size(), exitCode == 130 ? 0 : passed + int(event.startsWith("pulled")));
    std::sort(given.begin(), given.end());
    for (int i = 0; i < given.size(); ++i)
        QCOMPARE(given[i], quint64(1000 + i));
    checkRecords(passed);
    // One journal line per run: stopped, or passed but for the pulled unit's.
    const QList<QJsonObject> runs = journal(m_bench->station());
    QCOMPARE(runs.size(), exitCode == 130 ? m_units.size() : passed + exitCode % 2);
    QStringList results;
    for (const QJsonObject& run : runs) {
        results << run["result"].toString();
        if (results.last() == "stopped")
            QCOMPARE(run["stop_cause"].toString(), QString("stop"));
        if (results.last() == "failed")
            QVERIFY(event == "unread"
                        ? run["error"] == "Getting the device ID error"
                        : run["step"] == "restart" &&
                              run["error"] ==
                                  "The device did not come back within 1 s of its restart");
    }
    QCOMPARE(results.count(exitCode == 130 ? "stopped" : "success"), runs.size() - exitCode % 2);

    if (args.contains("--json")) {
        // One object per line; never more runs at once than slots.
        int running = 0;
        int most = 0;
        QSet<QString> ids;
        QHash<QString, bool> fileDone; // per port and file: its last progress event says done
        for (const QString& line : lines) {
            const QJsonObject e = QJsonDocument::fromJson(line.toUtf8()).object();
            QVERIFY2(!e["event"].toString().isEmpty() && e["time"].toString().endsWith('Z'),
                     qPrintable(line));
            running += e["event"] == "started" ? 1 : e["event"] == "finished" ? -1 : 0;
            most = qMax(most, running);
            if (e["event"] == "progress")
                fileDone[e["port"].toString() + e["file"].toString()] = e["done"] == e["total"];
            if (e["event"] == "finished") {
                QCOMPARE(e["result"].toString(), "pass");
                ids << e["device_id"].toString();
            }
        }
        QCOMPARE(most, 2);
        QCOMPARE(ids.size(), passed);
        QVERIFY(!fileDone.isEmpty() && !fileDone.values().contains(false));
        QVERIFY2(lines.last().contains("\"event\":\"summary\""), qPrintable(lines.last()));
    } else if (exitCode == 130) {
        // Each unit's run is told as stopped, not failed.
        QCOMPARE(out.count(" STOPPED production"), m_units.size());
    } else {
        QVERIFY2(out.contains(QRegularExpression(
                     "\n" + QRegularExpression::escape(m_units[1]->portPath().c_str()) +
                     " PASS production, Device ID 100[0-3], ")),
                 qPrintable(out));
        QVERIFY(out.contains(m_units[1]->portPath().c_str() + QString(" [OK] Taking Device ID")) ||
                out.contains(m_units[1]->portPath().c_str() + QString(" [.] Taking Device ID")));
    }
}

void tst_station::sharedStationFolder_data()
{
    QTest::addColumn<QString>("event");
    QTest::newRow("two stations") << "";
    QTest::newRow("a station killed, then started again") << "killed";
    QTest::newRow("a production run beside a station") << "production";
    QTest::newRow("a failed unit run again") << "failed";
}

// Processes on one station folder never give one Device ID to two units, also when one is killed
// between taking an ID and its journal line, or when an operator's ID is being written; a unit
// run again after a failure keeps its ID. The ports are given as links to the units' ports, as
// /dev/serial/by-path names hub ports.
void tst_station::sharedStationFolder()
{
    QFETCH(QString, event);
    QStringList ports;
    for (int i = 0; i < 4; ++i) {
        QVERIFY(plug(i, true));
        ports << m_bench->path() + "/by-path-" + QString::number(i);
        QVERIFY(QFile::link(m_units[i]->portPath().c_str(), ports.last()));
    }
    const auto ended = [](QProcess* p, int exitCode) {
        return (p->state() == QProcess::NotRunning || p->waitForFinished(kBoundMs)) &&
               p->exitCode() == exitCode;
    };
    QStringList a{"station", "--port", ports[0],     "--port", ports[1],
                  "--count", "2",      "--first-id", "1000"};
    QStringList b = a;
    b[2] = ports[2];
    b[4] = ports[3];
    int passed = 4;
    if (event == "production") {
        // The operator's ID is noted before the download, which takes its time; the station
        // takes its IDs meanwhile.
        m_units[0]->setFault(0x03, devsim::Fault{devsim::ErrorMode::Delay, 100, -1});
        QProcess* p = cli({"production", "--port", ports[0], "--device-id", "1000"});
        QVERIFY(m_units[0]->waitForRequests(0x03, 1, kBoundMs));
        QVERIFY(ended(cli(b), 0) && ended(p, 0));
        QCOMPARE(m_units[0]->deviceId(), quint64(1000));
        passed = 3;
    } else if (event == "failed") {
        m_units[0]->setFault(0x0f, devsim::Fault{devsim::ErrorMode::NoAnswer, 0, 1});
        QVERIFY(ended(cli(a), 1));
        const quint64 written = m_units[0]->deviceId();
        QProcess* again =
            cli({"station", "--port", ports[0], "--count", "1", "--first-id", "1000"});
        QVERIFY(ended(again, 0));
        // The unit is named by the place the operator gave.
        QVERIFY(QString(again->readAllStandardOutput()).contains(ports[0] + " PASS production"));
        QCOMPARE(m_units[0]->deviceId(), written);
        passed = 2;
    } else {
        QProcess* first = cli(a);
        QProcess* second = cli(b);
        if (event == "killed") {
            // Its unit gets another ID when it is run again: nothing recorded which unit holds
            // this one, and nothing ever gives it again.
            QTRY_VERIFY_WITH_TIMEOUT(m_units[0]->deviceId() != 7 || m_units[1]->deviceId() != 7,
                                     kBoundMs);
            ::kill(pid_t(first->processId()), SIGKILL);
            QVERIFY(first->waitForFinished(kBoundMs));
            const quint64 lost = m_units[m_units[0]->deviceId() != 7 ? 0 : 1]->deviceId();
            QVERIFY(ended(cli(a), 0) && ended(second, 0));
            for (devsim::Device* unit : qAsConst(m_units))
                QVERIFY(unit->deviceId() != lost);
        }
        QVERIFY(ended(first, 0) || event == "killed");
        QVERIFY(ended(second, 0));
    }
    QSet<quint64> ids;
    for (devsim::Device* unit : qAsConst(m_units))
        ids << unit->deviceId();
    ids.remove(7);
    QCOMPARE(ids.size(), passed);
    checkRecords(passed);
    // The journal names every ID written with one unit's port only.
    QHash<QString, QString> portOf;
    for (const QJsonObject& run : journal(m_bench->station())) {
        if (!run["device_id_written"].toBool())
            continue;
        const QString id = run["device_id"].toString();
        QVERIFY2(!portOf.contains(id) || portOf[id] == run["port"].toString(), qPrintable(id));
        portOf[id] = run["port"].toString();
    }
}

QTEST_GUILESS_MAIN(tst_station)
#include "tst_station.moc"
