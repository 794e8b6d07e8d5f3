// Every error mode of the simulated device at every command that a production run, a test run
// and a re-test send: the run's last lines, its result, how long it took, the port afterwards and
// the record files byte for byte.
#include <QtTest>

#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {

enum Run { Production, TestRun, Retest };
using devsim::ErrorMode;

// Command time-outs are capped for the whole matrix; the version probe has a shorter one.
constexpr int kCap = 500;
constexpr int kMargin = 200;  // "just under" and "just over" a time-out
constexpr int kSearchMs = 1500;  // a search that has not found the device by then never will

const QByteArray kFirmware = [] {
    QByteArray bytes(4 * 512 + 452, '\0');  // five chunks, the last one short
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 256);
    return bytes;
}();
const QByteArray kKeysBefore = "{\"device_id\": 1, \"key\": \"AAAA\"}\n";
const QByteArray kMacsBefore = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n"
                               "1\t00:00:00:00:00:01\t00:00:00:00:00:02\n";
const QByteArray kMacLine = "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";

QByteArray keyLine(const QByteArray& key)
{
    return "{\"device_id\": 1234, \"key\": \"" + key.toBase64() + "\"}\n";
}

int timeoutOf(int code)
{
    return code == 0x01 ? 300 : kCap;
}

// How a row ends. result: 1 success, 0 failure, -1 no result (still searching when stopped).
struct Ending
{
    QStringList lastLines;
    int result = 1;
    int records = 0;  // lines added: 0 none, 1 the key line, 2 the key and the MAC lines
    int waits = 0;    // exchanges that may wait out their time-out
};

Ending searching()
{
    return {{"0Searching for the device's COM port"}, -1, 0, 0};
}

Ending success(Run run, int waits = 0)
{
    switch (run) {
    case Production:
        return {{"4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F"}, 1, 2, waits};
    case TestRun:
        return {{"4fw.bin file was successfully downloaded", "4Firmware downloding is complete"},
                1, 0, waits};
    case Retest:
        break;
    }
    return {{"3Test history has been deleted successfully"}, 1, 0, waits};
}

// The ending when this command fails; waits counts the failing exchange itself.
Ending failure(Run run, int code, int waits)
{
    const QString downloadError = "1Firmware download error";
    switch (code) {
    case 0x0B:
        return {{"4Firmware version is VELTORA-FW 3.2.0", "1Getting the device ID error"}, 0, 0, waits};
    case 0x02:
        return {{"0File for flashing: Updates/fw.bin", downloadError}, 0, 0, waits};
    case 0x03:
        return {{"1Can't send ESP firmware file", downloadError}, 0, 0, waits};
    case 0x04:
        return {{"0File is flashing: Updates/fw.bin", downloadError}, 0, 0, waits};
    case 0x06:
        return {{run == Production ? "4Firmware downloding is complete"
                                   : "4Firmware version is VELTORA-FW 3.2.0",
                 "1Error while the Device ID writing"},
                0, 0, waits};
    case 0x0F:
        return {{"0Creating the authentication key", "1Public key creating error"}, 0, 0, waits};
    case 0x0E:
        return {{"0Getting the authentication key", "1Error while the public key reading"}, 0, 0,
                waits};
    case 0x0A:
        return {{"4The public key has been read successfully", "1Error while MACs getting"}, 0, 1,
                waits};
    case 0x05:
        return {{"4Firmware version isVELTORA-FW 3.2.0", "1Test history cleaning error"}, 0, 0,
                waits};
    }
    return {};
}

struct Mode
{
    const char* name;
    ErrorMode mode;
    int param;  // for the delays: the offset from the command's time-out
};

const Mode kModes[] = {
    {"no answer", ErrorMode::NoAnswer, 0},
    {"non-zero result", ErrorMode::NonZeroResult, 0},
    {"wrong code first", ErrorMode::WrongCodeFirst, 0},
    {"garbage first", ErrorMode::GarbageFirst, 0},
    {"split", ErrorMode::SplitResponse, 0},
    {"oversize", ErrorMode::OversizeFrame, 0},
    {"just under the time-out", ErrorMode::Delay, -kMargin},
    {"just over the time-out", ErrorMode::Delay, +kMargin},
};

// Requests of each code in a run without faults.
int requestsOf(Run run, int code)
{
    if (code == 0x03)
        return 5;
    if (run == Production && (code == 0x0C || code == 0x08))
        return 2;
    return 1;
}

bool isDiscovery(int code)
{
    return code == 0x0C || code == 0x01;
}

// What the tool is defined to do with this fault at this command.
Ending expected(Run run, int code, const Mode& m)
{
    const int n = requestsOf(run, code);
    switch (m.mode) {
    case ErrorMode::WrongCodeFirst:
        return success(run);
    case ErrorMode::Delay:
        if (m.param < 0)
            return success(run, n);
        break;
    case ErrorMode::NonZeroResult:
        // A version text of one byte 0x01 is a firmware text; the restart is not examined.
        if (isDiscovery(code) || code == 0x08)
            return success(run);
        // The key is not created, so the device has none to give.
        if (code == 0x0F)
            return failure(run, 0x0E, 0);
        // The payload of a parameter is its value: the key is the one byte 0x01.
        if (code == 0x0E)
            return success(run);
        return failure(run, code, 0);
    default:
        break;
    }

    // No usable answer: the line's defined behaviour is a time-out.
    if (code == 0x08) {
        // The late answer of the first restart spoils the next version query too.
        if (m.mode == ErrorMode::Delay && run == Production)
            return success(run, n + 1);
        return success(run, n);
    }
    if (isDiscovery(code)) {
        // A late answer to the first query is taken by the next one: the device is found, and
        // the next command waits in vain while the device sits out the second delay.
        if (m.mode == ErrorMode::Delay && code == 0x0C)
            return run == Production ? failure(run, 0x0B, 2) : failure(run, 0x06, 2);
        return searching();
    }
    return failure(run, code, 1);
}

const char* runName(Run run)
{
    return run == Production ? "production" : run == TestRun ? "test" : "re-test";
}

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
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("param");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<int>("result");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("waits");
    QTest::addColumn<QByteArray>("key");  // null: the key the device created

    const QList<QPair<Run, QList<int>>> commands = {
        {Production, {0x0C, 0x0B, 0x02, 0x03, 0x04, 0x06, 0x08, 0x0F, 0x0E, 0x0A}},
        {TestRun, {0x0C, 0x06, 0x02, 0x03, 0x04, 0x08}},
        {Retest, {0x01, 0x05, 0x08}},
    };
    for (const auto& entry : commands) {
        const Run run = entry.first;
        for (int code : entry.second) {
            for (const Mode& m : kModes) {
                const Ending e = expected(run, code, m);
                const int param = m.mode == ErrorMode::Delay ? timeoutOf(code) + m.param : m.param;
                const QByteArray key = run == Production && code == 0x0E &&
                                               m.mode == ErrorMode::NonZeroResult
                                           ? QByteArray("\x01")
                                           : QByteArray();
                QTest::addRow("%s 0x%02X %s", runName(run), code, m.name)
                    << int(run) << code << int(m.mode) << param << e.lastLines << e.result
                    << e.records << e.waits << key;
            }
        }
        if (run == Retest)
            continue;
        // The device goes away after k chunks of the five; the end of the file and the restart
        // then wait in vain too.
        for (int k = 0; k <= 5; ++k) {
            const Ending e = k < 5 ? failure(run, 0x03, 3) : success(run);
            QTest::addRow("%s vanish after chunk %d", runName(run), k)
                << int(run) << 0x03 << int(ErrorMode::VanishAfter) << k << e.lastLines
                << e.result << e.records << e.waits << QByteArray();
        }
    }
    // A key of 65 bytes does not fit the record.
    const Ending tooLong = failure(Production, 0x0E, 0);
    QTest::newRow("production 0x0E key of 65 bytes")
        << int(Production) << 0x0E << int(ErrorMode::OversizeFrame) << 68 << tooLong.lastLines
        << tooLong.result << tooLong.records << tooLong.waits << QByteArray();
}

void TestFaultMatrix::matrix()
{
    QFETCH(int, run);
    QFETCH(int, code);
    QFETCH(int, mode);
    QFETCH(int, param);
    QFETCH(QStringList, lastLines);
    QFETCH(int, result);
    QFETCH(int, records);
    QFETCH(int, waits);
    QFETCH(QByteArray, key);

    const int descriptorsBefore = openDescriptors();
    {
        Bench bench;
        setStationDir(bench.station());
        const QString station = bench.station();
        for (const char* folder : {"/Production/", "/TestFiles/"}) {
            QVERIFY(writeFile(station + folder + "fw.bin", kFirmware));
        }
        QVERIFY(writeFile(station + "/Production/production_files.cfg", "c:fw.bin\r\n"));
        QVERIFY(writeFile(station + "/TestFiles/test_files.cfg", "c:fw.bin\r\n"));
        const QString keys = station + "/Keys/public_keys.json";
        const QString macs = station + "/MAC/MACs.txt";
        QVERIFY(writeFile(keys, kKeysBefore));
        QVERIFY(writeFile(macs, kMacsBefore));
        QVERIFY(writeFile(bench.fsRoot() + "/testres.bin", "previous results"));

        devsim::Config config = bench.config();
        config.deviceId = 77;
        // The test run takes only a port that appears after it has listed the ports.
        config.pluggedAtStart = run != TestRun;
        devsim::Device* device = bench.start(config);
        QVERIFY(device);
        device->setFault(uint8_t(code), {ErrorMode(mode), param, -1});
        DebugCapture debug;
        if (run == TestRun)
            debug.watch("Connecting device waiting box signal result", [device] { device->plug(); });

        Logger_c logger;
        auto worker = std::make_unique<Flashing_c>(1234, run != Production,
                                                   run == Production ? "/Production/" : "/TestFiles/",
                                                   true, &logger);
        worker->protocol()->setTimeoutLimitMs(kCap);
        Recorder recorder;
        recorder.attach(logger);
        recorder.attach(*worker);

        const int bound = waits * timeoutOf(code) + 1000;
        // A search that never ends is stopped once the fault has been met and the bound has
        // passed; any other run is stopped only if it overruns its bound by far.
        const bool search = result < 0;
        std::function<void()> faultMet;
        if (search)
            faultMet = [device, code] { device->waitForRequests(uint8_t(code), 1, 10000); };
        DelayedStop stopper(*worker, faultMet, search ? kSearchMs : bound + 5000);

        const Clock::time_point started = Clock::now();
        switch (Run(run)) {
        case Production:
            worker->runProduction();
            break;
        case TestRun:
            worker->runTest();
            break;
        case Retest:
            worker->runRetest();
            break;
        }
        const qint64 elapsed = msSince(started);
        stopper.cancel();

        QVERIFY2(recorder.log.mid(recorder.log.size() - lastLines.size()) == lastLines,
                 qPrintable(recorder.log.join('\n')));
        if (search) {
            QVERIFY(recorder.finishes.isEmpty());
            QVERIFY(stopper.stopped());
            const qint64 afterStop = msSince(stopper.stoppedAt());
            QVERIFY2(afterStop <= timeoutOf(code) + 1000, qPrintable(QString::number(afterStop)));
            // Only the search spoke to the device; the polling asks again, the probe once.
            const std::vector<uint8_t> codes = device->commandCodes();
            for (uint8_t c : codes)
                QCOMPARE(int(c), code);
            if (code == 0x0C)
                QVERIFY(codes.size() >= 2);
            else
                QCOMPARE(int(codes.size()), 1);
        } else {
            QCOMPARE(recorder.finishes, QList<bool>{result == 1});
            QVERIFY2(!stopper.stopped(), "the run overran its bound and was stopped");
            QVERIFY2(elapsed <= bound, qPrintable(QString("%1 ms, bound %2 ms").arg(elapsed).arg(bound)));
        }

        QByteArray keysAfter = kKeysBefore;
        QByteArray macsAfter = kMacsBefore;
        if (records >= 1) {
            const std::vector<uint8_t> created = device->publicKey();
            keysAfter += keyLine(key.isNull() ? QByteArray(reinterpret_cast<const char*>(created.data()),
                                                           int(created.size()))
                                              : key);
        }
        if (records >= 2)
            macsAfter += kMacLine;
        QCOMPARE(readAll(keys), keysAfter);
        QCOMPARE(readAll(macs), macsAfter);

        worker.reset();
        if (mode == int(ErrorMode::VanishAfter) && !device->plugged())
            device->plug();
        QTRY_VERIFY_WITH_TIMEOUT(opensAgain(device->portPath()), 10000);
    }
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

QTEST_GUILESS_MAIN(TestFaultMatrix)
#include "tst_fault_matrix.moc"
