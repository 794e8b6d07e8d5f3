// The station's Device ID allocator: threads and processes on one station folder, a process killed
// mid-way, a lost state rebuilt from the journal, a unit that comes back.
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <memory>

#include "device_id_allocator.h"

namespace {

void appendJournal(const QString& stationDir, const QByteArray& lines)
{
    QDir().mkpath(stationDir + "/Logs");
    QFile file(stationDir + "/Logs/runs.jsonl");
    QVERIFY(file.open(QIODevice::Append));
    file.write(lines);
}

} // namespace

class tst_device_ids : public QObject
{
    Q_OBJECT
private slots:
    void neverTwice_data();
    void neverTwice();
    void journalAndReturningUnits();
};

void tst_device_ids::neverTwice_data()
{
    QTest::addColumn<int>("processes");
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("kill"); // the first process is killed once it has some IDs
    QTest::newRow("8 threads") << 1 << 8 << false;
    QTest::newRow("3 processes of 4 threads") << 3 << 4 << false;
    QTest::newRow("one of 2 processes killed") << 2 << 2 << true;
}

void tst_device_ids::neverTwice()
{
    QFETCH(int, processes);
    QFETCH(int, threads);
    QFETCH(bool, kill);
    QTemporaryDir station;
    const int each = 300;
    std::vector<std::unique_ptr<QProcess>> takers;
    for (int i = 0; i < processes; ++i) {
        takers.push_back(std::make_unique<QProcess>());
        takers.back()->start(ID_TAKER,
                             {station.path(), QString::number(kill && i == 0 ? 100000 : each),
                              QString::number(threads), "1000"});
    }
    QList<quint64> ids;
    if (kill) {
        QProcess& victim = *takers.front();
        QTRY_VERIFY_WITH_TIMEOUT(victim.bytesAvailable() > 200, 20000);
        ::kill(pid_t(victim.processId()), SIGKILL);
        QVERIFY(victim.waitForFinished(5000));
        takers.push_back(std::make_unique<QProcess>());
        takers.back()->start(ID_TAKER, {station.path(), QString::number(each), "1", "1000"});
    }
    for (auto& taker : takers) {
        QVERIFY(taker->state() == QProcess::NotRunning || taker->waitForFinished(60000));
        for (const QByteArray& line : taker->readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                ids << line.toULongLong();
    }
    QCOMPARE(QSet<quint64>(ids.begin(), ids.end()).size(), ids.size());
    std::sort(ids.begin(), ids.end());
    QCOMPARE(ids.first(), quint64(1000));
    // A local range leaves no hole, except the IDs the killed process took but never printed.
    if (!kill)
        QCOMPARE(ids.last(), quint64(1000 + processes * each - 1));
}

void tst_device_ids::journalAndReturningUnits()
{
    QTemporaryDir station;
    // Written: 100, 101 and 103; 102's run failed before the write; a torn line at the end.
    appendJournal(station.path(),
                  "{\"device_id\":\"100\",\"device_id_written\":true,\"run\":\"a\"}\n"
                  "{\"device_id\":\"101\",\"device_id_written\":true,\"run\":\"b\"}\n"
                  "{\"device_id\":\"102\",\"device_id_written\":false,\"run\":\"c\"}\n"
                  "{\"device_id\": \"103\", \"device_id_written\": true, \"run\": \"d\"}\n"
                  "{\"device_id\":\"104\",\"device_id_wri");
    DeviceIdAllocator ids(station.path());
    quint64 id = 0;
    // No state: rebuilt from the journal, past the highest written ID, the hole left alone.
    QCOMPARE(ids.allocate(id), DeviceIdAllocator::Result::Ok);
    QCOMPARE(id, quint64(104));
    // The window wrote 105 and 107 by hand (the torn line gets its end first); 106 fills the gap
    // between them, and 107 stays taken.
    appendJournal(station.path(), "\n{\"device_id\":\"105\",\"device_id_written\":true}\n"
                                  "{\"device_id\":\"107\",\"device_id_written\":true}\n");
    for (quint64 next : {106, 108})
        QVERIFY(ids.allocate(id) == DeviceIdAllocator::Result::Ok && id == next);
    // Units that come back keep an ID of this station's, from its state or its journal.
    for (quint64 held : {107, 104, 101, 105})
        QVERIFY(ids.keepOrAllocate(held, id) == DeviceIdAllocator::Result::Ok && id == held);
    for (quint64 foreign : {0, 102, 5000}) {
        QCOMPARE(ids.keepOrAllocate(foreign, id), DeviceIdAllocator::Result::Ok);
        QVERIFY(id > 108 && id < 112);
    }
    QVERIFY(ids.available());
    // A journal begun anew, shorter than what was read of the old one, is read from its start.
    QVERIFY(QFile::remove(station.path() + "/Logs/runs.jsonl"));
    appendJournal(station.path(), "{\"device_id\":\"111\",\"device_id_written\":true}\n");
    QVERIFY(ids.allocate(id) == DeviceIdAllocator::Result::Ok && id == 112);
    // A first ID is a floor: a higher one moves the range up, a lower one never back.
    for (quint64 first : {5000, 100}) {
        ids.setFirstId(first);
        QVERIFY(ids.allocate(id) == DeviceIdAllocator::Result::Ok && id == 5000 + (first < 5000));
    }
    // A state the disk cannot take gives no ID: the next run would be given it again.
    rlimit limit;
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    signal(SIGXFSZ, SIG_IGN);
    const rlimit full{16, limit.rlim_max};
    QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
    const DeviceIdAllocator::Result onFullDisk = ids.allocate(id);
    setrlimit(RLIMIT_FSIZE, &limit);
    QCOMPARE(onFullDisk, DeviceIdAllocator::Result::NotPersisted);
    // The last ID there is, and then none: the range never wraps round to 0.
    ids.setFirstId(UINT64_MAX);
    QVERIFY(ids.allocate(id) == DeviceIdAllocator::Result::Ok && id == UINT64_MAX);
    QCOMPARE(DeviceIdAllocator(station.path()).allocate(id), DeviceIdAllocator::Result::NoneLeft);
}

QTEST_GUILESS_MAIN(tst_device_ids)
#include "tst_device_ids.moc"
