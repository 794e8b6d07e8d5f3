// Whole runs against a simulated device that misbehaves as real ones do: answers in USB packets
// and cut across the read window, over-long, late, garbled or missing answers, a device that
// vanishes mid-download, a stop during a long silent command. Each row checks what the operator
// is left with: the run's last lines, its result within a bound, the port free again and the
// record files byte for byte.
#include <QtTest>

#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;
using devsim::ErrorMode;

namespace {

enum Run { Production, TestRun, Retest };

constexpr int kCap = 500;  // every command's time-out in these rows

const QByteArray kFirmware = pattern(4 * 512 + 452);  // five chunks, the last one short
const QByteArray kKeysBefore = "{\"device_id\": 1, \"key\": \"AAAA\"}\n";
const QByteArray kMacsBefore = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n"
                               "1\t00:00:00:00:00:01\t00:00:00:00:00:02\n";
const QByteArray kMacLine = "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";
const QString kMacs = "4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F";

} // namespace

class TestFaultMatrix : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void matrix_data();
    void matrix();
};

void TestFaultMatrix::initTestCase()
{
    // The first port listing may keep descriptors of its own for good.
    QStringList ports;
    listDevicePorts(ports);
}

void TestFaultMatrix::matrix_data()
{
    QTest::addColumn<int>("run");
    QTest::addColumn<int>("gapUs");      // between 64-byte packets, at random up to this
    QTest::addColumn<int>("cutMs");      // pause at a random byte of every answer
    QTest::addColumn<int>("code");       // the command that misbehaves
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("param");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<int>("result");     // 1 success, 0 failure, -1 stopped (no result)
    QTest::addColumn<int>("records");    // lines added: the key line, then the MAC line
    QTest::addColumn<int>("boundMs");

    const int none = int(ErrorMode::None);
    const QStringList keyReadError = {"0Getting the authentication key",
                                      "1Error while the public key reading"};
    const QStringList downloadError = {"1Can't send ESP firmware file",
                                       "1Firmware download error"};

    QTest::newRow("production, packets 1 ms apart, every answer cut 15 ms")
        << int(Production) << 1000 << 15 << 0 << none << 0 << QStringList{kMacs} << 1 << 2
        << 15000;
    QTest::newRow("test run, every answer cut 12 ms")
        << int(TestRun) << 300 << 12 << 0 << none << 0
        << QStringList{"4fw.bin file was successfully downloaded", "4Firmware downloding is complete"}
        << 1 << 0 << 10000;
    QTest::newRow("key read answered with 2085 bytes")
        << int(Production) << 300 << 0 << 0x0E << int(ErrorMode::OversizeFrame) << 2085
        << keyReadError << 0 << 0 << 5000;
    QTest::newRow("MAC read answered with 2085 bytes")
        << int(Production) << 300 << 0 << 0x0A << int(ErrorMode::OversizeFrame) << 2085
        << QStringList{"4The public key has been read successfully", "1Error while MACs getting"}
        << 0 << 1 << 5000;
    QTest::newRow("key of 65 bytes")
        << int(Production) << 300 << 0 << 0x0E << int(ErrorMode::OversizeFrame) << 68
        << keyReadError << 0 << 0 << 5000;
    QTest::newRow("garbage glued before the device ID")
        << int(Production) << 300 << 0 << 0x0B << int(ErrorMode::GarbageFirst) << 0
        << QStringList{"4Firmware version is VELTORA-FW 3.2.0", "1Getting the device ID error"}
        << 0 << 0 << 5000;
    QTest::newRow("another code before the MACs")
        << int(Production) << 300 << 0 << 0x0A << int(ErrorMode::WrongCodeFirst) << 0
        << QStringList{kMacs} << 1 << 2 << 5000;
    QTest::newRow("device ID just under the time-out")
        << int(Production) << 300 << 0 << 0x0B << int(ErrorMode::Delay) << kCap - 200
        << QStringList{kMacs} << 1 << 2 << 5000;
    QTest::newRow("device ID just over the time-out")
        << int(Production) << 300 << 0 << 0x0B << int(ErrorMode::Delay) << kCap + 200
        << QStringList{"4Firmware version is VELTORA-FW 3.2.0", "1Getting the device ID error"}
        << 0 << 0 << 5000;
    QTest::newRow("start of the file refused")
        << int(Production) << 300 << 0 << 0x02 << int(ErrorMode::NonZeroResult) << 0
        << QStringList{"0File for flashing: Updates/fw.bin", "1Firmware download error"} << 0 << 0
        << 5000;
    QTest::newRow("device gone after two chunks")
        << int(Production) << 300 << 0 << 0x03 << int(ErrorMode::VanishAfter) << 2
        << downloadError << 0 << 0 << 5000;
    QTest::newRow("device ID write unanswered")
        << int(Production) << 300 << 0 << 0x06 << int(ErrorMode::NoAnswer) << 0
        << QStringList{"4Firmware downloding is complete", "1Error while the Device ID writing"}
        << 0 << 0 << 5000;
    QTest::newRow("test run, end of the file unanswered")
        << int(TestRun) << 300 << 0 << 0x04 << int(ErrorMode::NoAnswer) << 0
        << QStringList{"0File is flashing: Updates/fw.bin", "1Firmware download error"} << 0 << 0
        << 5000;
    QTest::newRow("re-test, deletion unanswered")
        << int(Retest) << 300 << 0 << 0x05 << int(ErrorMode::NoAnswer) << 0
        << QStringList{"4Firmware version isVELTORA-FW 3.2.0", "1Test history cleaning error"} << 0
        << 0 << 5000;
    // No cap here: the deletion would wait 60 s; the stop must end the run at once, silently.
    QTest::newRow("re-test, stopped during an unanswered deletion")
        << int(Retest) << 300 << 0 << 0x05 << int(ErrorMode::NoAnswer) << 0
        << QStringList{"4Firmware version isVELTORA-FW 3.2.0"} << -1 << 0 << 3000;
}

void TestFaultMatrix::matrix()
{
    QFETCH(int, run);
    QFETCH(int, gapUs);
    QFETCH(int, cutMs);
    QFETCH(int, code);
    QFETCH(int, mode);
    QFETCH(int, param);
    QFETCH(QStringList, lastLines);
    QFETCH(int, result);
    QFETCH(int, records);
    QFETCH(int, boundMs);

    const int descriptorsBefore = openDescriptors();
    {
        Bench bench;
        setStationDir(bench.station());
        const QString station = bench.station();
        for (const char* folder : {"/Production/", "/TestFiles/"})
            QVERIFY(writeFile(station + folder + "fw.bin", kFirmware));
        QVERIFY(writeFile(station + "/Production/production_files.cfg", "c:fw.bin\r\n"));
        QVERIFY(writeFile(station + "/TestFiles/test_files.cfg", "c:fw.bin\r\n"));
        const QString keys = station + "/Keys/public_keys.json";
        const QString macs = station + "/MAC/MACs.txt";
        QVERIFY(writeFile(keys, kKeysBefore));
        QVERIFY(writeFile(macs, kMacsBefore));
        QVERIFY(writeFile(bench.fsRoot() + "/testres.bin", "previous results"));

        devsim::Config config = bench.config();
        config.usbGapMaxUs = gapUs;
        config.cutGapMs = cutMs;
        // The test run takes only a port that appears after it has listed the ports.
        config.pluggedAtStart = run != TestRun;
        devsim::Device* device = bench.start(config);
        QVERIFY(device);
        if (code)
            device->setFault(uint8_t(code), {ErrorMode(mode), param, -1});
        DebugCapture debug;
        if (run == TestRun)
            debug.watch("Connecting device waiting box signal result", [device] { device->plug(); });

        Logger_c logger;
        auto worker = std::make_unique<Flashing_c>(1234, run != Production,
                                                   run == Production ? "/Production/" : "/TestFiles/",
                                                   true, &logger);
        const bool stopped = result < 0;
        if (!stopped)
            worker->protocol()->setTimeoutLimitMs(kCap);
        Recorder recorder;
        recorder.attach(logger);
        recorder.attach(*worker);
        // Stopped once the command has met its fault; any other run only if it overruns by far.
        std::function<void()> faultMet;
        if (stopped)
            faultMet = [device, code] { device->waitForRequests(uint8_t(code), 1, 10000); };
        DelayedStop stopper(*worker, faultMet, stopped ? 0 : boundMs + 5000);

        const Clock::time_point started = Clock::now();
        if (run == Production)
            worker->runProduction();
        else if (run == TestRun)
            worker->runTest();
        else
            worker->runRetest();
        const qint64 elapsed = msSince(stopped ? stopper.stoppedAt() : started);
        stopper.cancel();

        QVERIFY2(recorder.log.mid(recorder.log.size() - lastLines.size()) == lastLines,
                 qPrintable(recorder.log.join('\n')));
        QCOMPARE(recorder.finishes, result < 0 ? QList<bool>{} : QList<bool>{result == 1});
        QCOMPARE(stopper.stopped(), stopped);
        QVERIFY2(elapsed <= boundMs, qPrintable(QString("%1 ms, bound %2 ms").arg(elapsed).arg(boundMs)));

        QByteArray keysAfter = kKeysBefore;
        if (records >= 1) {
            const std::vector<uint8_t> key = device->publicKey();
            keysAfter += "{\"device_id\": 1234, \"key\": \"" +
                         QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toBase64() +
                         "\"}\n";
        }
        QCOMPARE(readAll(keys), keysAfter);
        QCOMPARE(readAll(macs), records >= 2 ? kMacsBefore + kMacLine : kMacsBefore);

        worker.reset();
        if (!device->plugged())
            device->plug();
        QTRY_VERIFY_WITH_TIMEOUT(opensAgain(device->portPath()), 10000);
    }
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_fault_matrix.moc"
