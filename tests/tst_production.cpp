// Production runs through the worker, every way they end, and the record writers on their own:
// the log lines with their colour codes, what the device holds afterwards and the record bytes.
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include "port_list.h"
#include "prod_fixture.h"
#include "records.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
enum Run { Production, TestRun, Retest };
enum Target { Keys, Macs };

constexpr int kCap = 500; // every command's time-out
constexpr int kBoundMs = 10000;
const QByteArray kKeysBefore = "{\"device_id\": 1, \"key\": \"AAAA\"}\n";
const QByteArray kMacsBefore = kMacHeader + "1\t00:00:00:00:00:01\t00:00:00:00:00:02\n";
} // namespace

class TestProduction : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void runs_data();
    void runs();
    void records_data();
    void records();
};

void TestProduction::initTestCase()
{
    // The first port listing may keep descriptors of its own for good.
    QStringList ports;
    listDevicePorts(ports);
}

void TestProduction::runs_data()
{
    QTest::addColumn<int>("run");
    QTest::addColumn<bool>("setDeviceId");
    // "remove <path>"; "full <record>": a link to /dev/full; "stop: <line>": stopped on that
    // line; "cut <ms>": every answer pauses at a random byte; "empty key": the key created is
    // empty; else a misbehaviour of the device as veltora-devsim --fault takes it.
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("lastLines"); // "<port>" stands for the device's port
    QTest::addColumn<int>("reboots");
    QTest::addColumn<bool>("restart"); // the exit restarts the device, as its last command
    QTest::addColumn<bool>("idWritten");
    QTest::addColumn<int>("records"); // lines recorded: the key line, then the MAC line
    QTest::addColumn<int>("result");  // -1: no on_flashFinish

    const int p = Production;
    const QString none;
    const QString version = "4Firmware version is VELTORA-FW 3.2.0";
    const QString retestVersion = "4Firmware version isVELTORA-FW 3.2.0";
    const QString getting = "0Getting the authentication key";
    const QStringList keyError{getting, "1Error while the public key reading"};
    const QStringList idError{version, "1Getting the device ID error"};
    const QString macs = "4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F";
    // The example station, as the operator sees it.
    QStringList whole{"0Applying the default file list",
                      "0Searching for the device's COM port",
                      "4Found device connected to <port>",
                      version,
                      "3Device ID: 77",
                      "0Found 4 file(s) for flashing"};
    for (const char* name : {"system.bin", "drivers.bin", "interface.bin", "config.txt"}) {
        whole << QString("0File for flashing: Updates/") + name
              << QString("0File is flashing: Updates/") + name
              << QString("4") + name + " file was successfully downloaded";
    }
    whole << "4Firmware downloding is complete"
          << "4The Device ID has been written successfully"
          << "0Waiting for reboot and update"
          << "4Found device connected to <port>" << version << "0Creating the authentication key"
          << getting << "4The public key has been read successfully" << macs;

    QTest::newRow("production") << p << true << none << whole << 2 << true << true << 2 << 1;
    QTest::newRow("production without device ID")
        << p << false << none
        << QStringList{"4config.txt file was successfully downloaded",
                       "4Firmware downloding is complete"}
        << 1 << true << false << 0 << 1;
    QTest::newRow("list missing") << p << true << "remove Production/production_files.cfg"
                                  << QStringList{"1Error while opening the list of flashing files",
                                                 "1Error while getting the files list"}
                                  << 0 << false << false << 0 << 0;
    QTest::newRow("listed file missing")
        << p << true << "remove Production/ESP_Update_c.bin"
        << QStringList{"1The file from list isn't exist", "1Error while getting the files list"}
        << 0 << false << false << 0 << 0;
    QTest::newRow("stopped after the list")
        << p << true << "stop: Applying the default file list"
        << QStringList{"0Applying the default file list"} << 0 << false << false << 0 << -1;
    QTest::newRow("stopped while searching")
        << p << true << "stop: Searching for the device's COM port"
        << QStringList{"0Searching for the device's COM port"} << 0 << false << false << 0 << -1;
    QTest::newRow("stopped before the download")
        << p << true << "stop: Device ID: 77" << QStringList{"3Device ID: 77"} << 0 << false
        << false << 0 << -1;
    QTest::newRow("stopped while waiting for the reboot")
        << p << true << "stop: Waiting for reboot and update"
        << QStringList{"0Waiting for reboot and update"} << 1 << false << true << 0 << -1;
    QTest::newRow("download failed")
        << p << true << "0x03:non-zero-result"
        << QStringList{"1Can't send ESP firmware file", "1Firmware download error"} << 1 << true
        << false << 0 << 0;
    QTest::newRow("device ID not written")
        << p << true << "0x06:no-answer" << QStringList{"1Error while the Device ID writing"} << 0
        << false << false << 0 << 0;
    QTest::newRow("key not created")
        << p << true << "0x0f:no-answer"
        << QStringList{"0Creating the authentication key", "1Public key creating error"} << 2
        << true << true << 0 << 0;
    // A frame of 68 bytes: a key of 65 bytes, one more than the key buffer holds.
    QTest::newRow("key of 65 bytes")
        << p << true << "0x0e:oversize:68" << keyError << 2 << true << true << 0 << 0;
    // The device says it created its key, but has none to give.
    QTest::newRow("empty key") << p << true << "empty key" << keyError << 2 << true << true << 0
                               << 0;
    QTest::newRow("key read answered with 2085 bytes")
        << p << true << "0x0e:oversize:2085" << keyError << 2 << true << true << 0 << 0;
    QTest::newRow("keys file not written")
        << p << true << "full Keys/public_keys.json"
        << QStringList{getting, "1Public keys file opening error"} << 2 << true << true << 0 << 0;
    QTest::newRow("MACs not read")
        << p << true << "0x0a:no-answer"
        << QStringList{"4The public key has been read successfully", "1Error while MACs getting"}
        << 1 << false << true << 1 << 0;
    QTest::newRow("MAC file not written")
        << p << true << "full MAC/MACs.txt" << QStringList{macs, "1MAC file opening error"} << 2
        << true << true << 1 << 0;
    QTest::newRow("production, every answer cut 15 ms")
        << p << true << "cut 15" << QStringList{macs} << 2 << true << true << 2 << 1;
    QTest::newRow("garbage glued before the device ID")
        << p << true << "0x0b:garbage-first" << idError << 0 << false << false << 0 << 0;
    QTest::newRow("another code before the MACs")
        << p << true << "0x0a:wrong-code-first" << QStringList{macs} << 2 << true << true << 2 << 1;
    QTest::newRow("device ID just under the time-out")
        << p << true << "0x0b:delay:" + QString::number(kCap - 200) << QStringList{macs} << 2
        << true << true << 2 << 1;
    QTest::newRow("device ID just over the time-out")
        << p << true << "0x0b:delay:" + QString::number(kCap + 200) << idError << 0 << false
        << false << 0 << 0;
    QTest::newRow("device gone after two chunks")
        << p << true << "0x03:vanish-after:2"
        << QStringList{"1Can't send ESP firmware file", "1Firmware download error"} << 0 << false
        << false << 0 << 0;
    QTest::newRow("test run, every answer cut 12 ms")
        << int(TestRun) << true << "cut 12"
        << QStringList{"4testcfg.txt file was successfully downloaded",
                       "4Firmware downloding is complete"}
        << 1 << true << true << 0 << 1;
    QTest::newRow("test run, end of the file unanswered")
        << int(TestRun) << true << "0x04:no-answer"
        << QStringList{"0File is flashing: Updates/testcfg.txt", "1Firmware download error"} << 1
        << true << true << 0 << 0;
    QTest::newRow("re-test, deletion unanswered")
        << int(Retest) << true << "0x05:no-answer"
        << QStringList{retestVersion, "1Test history cleaning error"} << 0 << false << false << 0
        << 0;
    // No cap here: the deletion would wait 60 s; the stop must end the run at once, silently.
}

// Every way a run over the example station ends, also against a device that misbehaves as real
// ones do: its last lines, its result within a bound, the restarts, the files and the Device ID
// in the device, the record files byte for byte, and the port free again.
void TestProduction::runs()
{
    QFETCH(int, run);
    QFETCH(bool, setDeviceId);
    QFETCH(QString, event);
    QFETCH(QStringList, lastLines);
    QFETCH(int, reboots);
    QFETCH(bool, restart);
    QFETCH(bool, idWritten);
    QFETCH(int, records);
    QFETCH(int, result);

    const int descriptorsBefore = openDescriptors();
    {
        Bench bench;
        QVERIFY(bench.useExampleStation());
        const QString station = bench.station();
        QVERIFY(writeFile(station + "/TestFiles/test_files.cfg", "c:testcfg.txt\r\n"));
        const QString keys = station + "/Keys/public_keys.json";
        const QString macs = station + "/MAC/MACs.txt";
        QVERIFY(writeFile(keys, kKeysBefore) && writeFile(macs, kMacsBefore));
        const QString changed = station + "/" + event.section(' ', 1);
        if (event.startsWith("remove "))
            QVERIFY(QFile::remove(changed));
        if (event.startsWith("full "))
            QVERIFY(QFile::remove(changed) && QFile::link("/dev/full", changed));
        const QString stopAt = event.startsWith("stop: ") ? event.mid(6) : QString();

        devsim::Config config = bench.config();
        config.deviceId = 77;
        config.publicKey = event == "empty key" ? std::vector<uint8_t>() : fixedKey();
        if (event.startsWith("cut "))
            config.cutGapMs = event.mid(4).toInt();
        // The test run takes only a port that appears after it has listed the ports; nothing is
        // found when the run is to be stopped in the search or in the wait for the restart.
        config.pluggedAtStart = run != TestRun && !stopAt.startsWith("Searching");
        if (stopAt.startsWith("Waiting"))
            config.rebootDelayMs = 10000;
        devsim::Device* device = bench.start(config);
        QVERIFY(device);
        uint8_t code = 0;
        devsim::Fault fault;
        if (event.startsWith("0x")) {
            QVERIFY(devsim::parseFault(event.toStdString(), code, fault));
            device->setFault(code, fault);
        }
        DebugCapture debug;
        if (run == TestRun)
            debug.watch("Connecting device waiting box signal result",
                        [device] { device->plug(); });

        Logger_c logger;
        auto worker = std::make_unique<Flashing_c>(
            1234, run != Production, run == Production ? "/Production/" : "/TestFiles/",
            setDeviceId, &logger);
        worker->protocol()->setTimeoutLimitMs(kCap);
        Recorder recorder;
        recorder.attach(logger);
        recorder.attach(*worker);
        connect(&logger, &Logger_c::sigLog, worker.get(), [&](const QString& line) {
            if (!stopAt.isEmpty() && line.mid(1) == stopAt)
                worker->stop();
        });
        // A run that overruns by far is stopped, so a hang fails this row, not the suite.
        DelayedStop stopper(*worker, {}, kBoundMs + 5000);

        const Clock::time_point started = Clock::now();
        if (run == Production)
            worker->runProduction();
        else if (run == TestRun)
            worker->runTest();
        else
            worker->runRetest();
        const qint64 elapsed = msSince(started);
        stopper.cancel();

        lastLines.replaceInStrings("<port>", QString::fromStdString(device->portPath()));
        QVERIFY2(recorder.log.mid(recorder.log.size() - lastLines.size()) == lastLines,
                 qPrintable(recorder.log.join('\n')));
        QCOMPARE(recorder.finishes, result < 0 ? QList<bool>{} : QList<bool>{result == 1});
        QVERIFY(!stopper.stopped());
        QVERIFY2(elapsed <= kBoundMs, qPrintable(QString::number(elapsed)));
        const std::vector<uint8_t> codes = device->commandCodes();
        QCOMPARE(countOf(codes, 0x08), reboots);
        if (result >= 0)
            QCOMPARE(!codes.empty() && codes.back() == 0x08, restart);
        QCOMPARE(device->deviceId(), quint64(idWritten ? 1234 : 77));
        if (!QFileInfo(keys).isSymLink())
            QCOMPARE(readAll(keys), records >= 1 ? kKeysBefore + kKeyLine1234 : kKeysBefore);
        if (!QFileInfo(macs).isSymLink())
            QCOMPARE(readAll(macs), records >= 2 ? kMacsBefore + kMacLine1234 : kMacsBefore);
        if (result == 1 && run == Production) {
            // The dialog's label shows every line but these.
            QStringList shown = withoutColours(recorder.log);
            for (const char* line :
                 {"Device ID: 77", "Found 4 file(s) for flashing",
                  "Creating the authentication key", "Getting the authentication key"})
                shown.removeAll(line);
            QCOMPARE(recorder.labels, shown);
            // The files under their substituted names.
            for (const QString path : {"Updates/nRF_Update_c.bin", "Updates/ESP_Update_c.bin",
                                       "Updates/NRF_Bootloader_c.bin", "config.txt"}) {
                QCOMPARE(readAll(bench.fsRoot() + "/" + path),
                         readAll(station + "/Production/" + path.section('/', -1)));
            }
            QVERIFY(!QFile::exists(bench.fsRoot() + "/Updates/system.bin"));
        }

        worker.reset();
        // The device goes for its last restart only once the run has read the answer: the port
        // is checked after that, on the device plugged in again at once.
        QTRY_COMPARE_WITH_TIMEOUT(device->rebootCount(), reboots, 5000);
        device->plug();
        QVERIFY(opensAgain(device->portPath()));
    }
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

void TestProduction::records_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("fault");     // "full": the disk takes ten more bytes
    QTest::addColumn<QByteArray>("before"); // null: no record file yet
    QTest::addColumn<quint64>("id");
    QTest::addColumn<QByteArray>("after"); // null: no regular file there
    QTest::addColumn<QString>("message");

    const quint64 max = 18446744073709551615ull;
    const QByteArray keyMax =
        "{\"device_id\": 18446744073709551615, \"key\": \"AAECAwQFBgcICQoLDA0O"
        "DxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
        "Pw==\"}\n";
    const QByteArray macMax = "18446744073709551615\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";
    const QByteArray keys = "{}\n";
    const QByteArray macs = kMacHeader + "7\tA\tB\n";
    const QString ok;
    const QString keysWrite = "Public keys file writing error";
    const QString macWrite = "MAC file data writing error";

    QTest::newRow("keys: new file")
        << int(Keys) << ok << QByteArray() << quint64(1234) << kKeyLine1234 << ok;
    QTest::newRow("keys: appended, largest ID")
        << int(Keys) << ok << keys << max << keys + keyMax << ok;
    QTest::newRow("MAC: new file, with its header")
        << int(Macs) << ok << QByteArray() << quint64(1234) << kMacHeader + kMacLine1234 << ok;
    QTest::newRow("MAC: empty file, no header")
        << int(Macs) << ok << QByteArray("") << max << macMax << ok;
    QTest::newRow("MAC: appended")
        << int(Macs) << ok << macs << quint64(1234) << macs + kMacLine1234 << ok;
    QTest::newRow("MAC: folder missing")
        << int(Macs) << "no folder" << QByteArray() << quint64(1234) << QByteArray()
        << "MAC file opening error";
    // Writes would vanish into it, and one without a reader could block the open.
    QTest::newRow("keys: record is a FIFO") << int(Keys) << "FIFO" << QByteArray() << quint64(1234)
                                            << QByteArray() << "Public keys file opening error";
    // Part of the line fits: it is undone, the file is as it was.
    QTest::newRow("keys: disk full")
        << int(Keys) << "full" << keys << quint64(1234) << keys << keysWrite;
    QTest::newRow("MAC: disk full")
        << int(Macs) << "full" << macs << quint64(1234) << macs << macWrite;
    QTest::newRow("MAC: disk full, no file yet")
        << int(Macs) << "full" << QByteArray() << quint64(1234) << QByteArray() << macWrite;
}

// The record files alone: exact bytes, LF line ends, the header only for a file that did not
// exist, and a failed write leaves the file as it was.
void TestProduction::records()
{
    QFETCH(int, target);
    QFETCH(QString, fault);
    QFETCH(QByteArray, before);
    QFETCH(quint64, id);
    QFETCH(QByteArray, after);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString folder = dir.path() + (target == Keys ? "/Keys" : "/MAC");
    const QString record = folder + (target == Keys ? "/public_keys.json" : "/MACs.txt");
    if (fault != "no folder")
        QVERIFY(QDir().mkpath(folder));
    if (!before.isNull())
        QVERIFY(writeFile(record, before));
    if (fault == "FIFO")
        QVERIFY(mkfifo(QFile::encodeName(record).constData(), 0600) == 0);
    rlimit limit;
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    if (fault == "full") {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit full{rlim_t(before.size() + 10), limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
    }
    const RecordFiles files(dir.path() + "/Keys/public_keys.json", dir.path() + "/MAC/MACs.txt");
    const std::vector<uint8_t> key = fixedKey();
    const QString failure =
        target == Keys
            ? files.appendPublicKey(id, QByteArray(reinterpret_cast<const char*>(key.data()), 64))
            : files.appendMacs(id, "00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5F");
    setrlimit(RLIMIT_FSIZE, &limit);

    QCOMPARE(failure, message);
    if (after.isNull())
        QVERIFY(!QFileInfo(record).isFile());
    else
        QCOMPARE(readAll(record), after);
}

QTEST_GUILESS_MAIN(TestProduction)
#include "tst_production.moc"
