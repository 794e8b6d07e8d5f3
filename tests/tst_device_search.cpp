#include <QtTest>

#include "port_claim.h"
#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

class TestDeviceSearch : public QObject
{
    Q_OBJECT
private slots:
    void probe_data();
    void probe();
    void polling_data();
    void polling();
    void stopEndsPolling();
    void heldPortPassedOver();
    void lockNames_data();
    void lockNames();
};

void TestDeviceSearch::probe_data()
{
    QTest::addColumn<bool>("silentFirst");
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("skipBootloader");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("versionLine");  // empty: none expected

    QTest::newRow("firmware") << false << false << "FW 3.2.0" << true << true
                              << "4Firmware version isFW 3.2.0";
    QTest::newRow("silent port skipped") << true << false << "FW 3.2.0" << true << true
                                         << "4Firmware version isFW 3.2.0";
    QTest::newRow("bootloader rejected") << false << true << "FW 3.2.0" << true << false << "";
    QTest::newRow("bootloader accepted") << false << true << "FW 3.2.0" << false << true
                                         << "4Firmware version isBootloader 1.0.4";
    QTest::newRow("empty version") << false << false << "" << true << true << "";
}

// The probe of the known ports (re-test): one version query per port, the first answering
// device that is acceptable is kept open.
void TestDeviceSearch::probe()
{
    QFETCH(bool, silentFirst);
    QFETCH(bool, bootloader);
    QFETCH(QString, version);
    QFETCH(bool, skipBootloader);
    QFETCH(bool, found);
    QFETCH(QString, versionLine);

    Bench bench;
    if (silentFirst)
        QVERIFY(!bench.addSilentPort().isEmpty());
    devsim::Config config = bench.config();
    config.bootloader = bootloader;
    config.firmwareVersion = version.toStdString();
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    const QString port = QString::fromStdString(device->portPath());

    Logger_c logger;
    Flashing_c worker(1, skipBootloader, "/Production/", false, &logger);
    Recorder recorder;
    recorder.attach(logger);
    QStringList ports;
    listDevicePorts(ports);
    QCOMPARE(ports.size(), silentFirst ? 2 : 1);

    QCOMPARE(worker.probePorts(ports, skipBootloader), found);
    QCOMPARE(worker.protocol()->portOpen(), found);
    QStringList expected;
    if (found)
        expected << "4Found the device connected to " + port;
    if (!versionLine.isEmpty())
        expected << versionLine;
    QCOMPARE(recorder.log, expected);
    if (found)
        QCOMPARE(recorder.labels.last(), expected.last().mid(1));
    QCOMPARE(device->commandCodes(), std::vector<uint8_t>{0x01});

    QVERIFY(!worker.probePorts(QStringList(), skipBootloader));
}

void TestDeviceSearch::polling_data()
{
    QTest::addColumn<bool>("silentFirst");
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<bool>("probe");
    QTest::addColumn<QStringList>("codes");  // hex command codes the device received

    QTest::newRow("present, first poll") << false << false << false << QStringList{"0c"};
    QTest::newRow("present, probed") << false << false << true << QStringList{"01"};
    QTest::newRow("bootloader, then firmware")
        << false << true << false << QStringList{"0c", "09", "0c"};
    QTest::newRow("silent port skipped") << true << false << false << QStringList{"0c"};
}

// The production search (nothing known before): every device port is new, a bootloader is made
// to leave, a silent port is passed over.
void TestDeviceSearch::polling()
{
    QFETCH(bool, silentFirst);
    QFETCH(bool, bootloader);
    QFETCH(bool, probe);
    QFETCH(QStringList, codes);

    Bench bench;
    DebugCapture debug;
    const QString silent = silentFirst ? bench.addSilentPort() : QString();
    devsim::Config config = bench.config();
    config.bootloader = bootloader;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    const QString port = QString::fromStdString(device->portPath());

    Logger_c logger;
    Flashing_c worker(1, true, "/Production/", false, &logger);
    Recorder recorder;
    recorder.attach(logger);
    QVERIFY(worker.searchDevice(probe, probe));
    QVERIFY(worker.protocol()->portOpen());

    const QString found = probe ? "4Found the device connected to " : "4Found device connected to ";
    const QString version = probe ? "4Firmware version isVELTORA-FW 3.2.0"
                                  : "4Firmware version is VELTORA-FW 3.2.0";
    QCOMPARE(recorder.log,
             (QStringList{"0Searching for the device's COM port", found + port, version}));

    QStringList received;
    for (uint8_t code : device->commandCodes())
        received << QString::asprintf("%02x", code);
    QCOMPARE(received, codes);

    QStringList trace = debug.lines();
    trace = trace.filter(QRegularExpression("^(COM ports|    |Connecting device)"));
    QStringList expected{"COM ports before searching:"};
    if (probe)
        expected << "    " + port;
    expected << "Connecting device waiting box signal result";
    if (!probe) {
        // One step per poll that saw new ports; all listed ports, in listing order.
        const int steps = bootloader ? 2 : 1;
        for (int i = 0; i < steps; ++i) {
            expected << "COM ports after found something:";
            if (silentFirst)
                expected << "    " + silent;
            expected << "    " + port;
        }
    }
    QCOMPARE(trace, expected);
}

// Clearing the go-on flag from another thread ends an endless search within a poll interval and
// a step, without a result.
void TestDeviceSearch::stopEndsPolling()
{
    Bench bench;
    DebugCapture debug;
    debug.watch("Connecting device waiting box signal result");
    Logger_c logger;
    Flashing_c worker(1, true, "/Production/", true, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);

    DelayedStop stopper(worker, [&] {
        QDeadlineTimer deadline(10000);
        while (!debug.seen() && !deadline.hasExpired())
            QThread::msleep(1);
    }, 0);
    const bool result = worker.searchDevice(false, true);
    const qint64 afterStop = msSince(stopper.stoppedAt());
    stopper.cancel();

    QVERIFY(!result);
    QVERIFY(debug.seen() && stopper.stopped());
    QVERIFY2(afterStop < 500, qPrintable(QString::number(afterStop)));
    QVERIFY(recorder.finishes.isEmpty());
    QCOMPARE(recorder.log, QStringList{"0Searching for the device's COM port"});
}

// Two runs, one device: the second passes the port over while the first holds it, also while the
// device restarts and its port is away, and gets it once the first worker is gone.
void TestDeviceSearch::heldPortPassedOver()
{
    Bench bench;
    DebugCapture debug;
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    Logger_c logger;
    auto first = std::make_unique<Flashing_c>(1, true, "/Production/", true, &logger);
    QVERIFY(first->searchDevice(false, true));

    Flashing_c second(2, true, "/Production/", true, &logger);
    Recorder recorder;
    recorder.attach(second);
    std::atomic<bool> secondFound{false};
    std::thread secondRun([&] { secondFound = second.searchDevice(false, true); });
    const auto endSecond = qScopeGuard([&] {
        second.stop();
        secondRun.join();
    });
    const auto scans = [&] { return debug.lines().count("COM ports after found something:"); };
    QTRY_VERIFY_WITH_TIMEOUT(scans() >= 2, 5000);

    first->protocol()->SendReboot();
    first->protocol()->closeIfOpen();
    QTRY_VERIFY_WITH_TIMEOUT(device->plugCount() == 2 && device->plugged(), 5000);
    const int seenBack = scans();
    QTRY_VERIFY_WITH_TIMEOUT(secondFound || scans() >= seenBack + 2, 5000);
    QVERIFY(!secondFound);
    QVERIFY(first->searchDevice(false, true));
    QCOMPARE(codesOf(*device), QByteArray::fromHex("0c080c"));

    first.reset();
    QTRY_VERIFY_WITH_TIMEOUT(secondFound, 5000);
    QCOMPARE(codesOf(*device), QByteArray::fromHex("0c080c0c"));
    QVERIFY(recorder.finishes.isEmpty());
}

void TestDeviceSearch::lockNames_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("name");
    QTest::newRow("Windows port") << "COM5" << "port-COM5.lock";
    QTest::newRow("path") << "/tmp/st a/ttySIM0" << "port-%2Ftmp%2Fst%20a%2FttySIM0.lock";
    const QByteArray longPath = "/" + QByteArray(200, 'x');
    QTest::newRow("long path") << QString(longPath)
                               << "port-" + QString(QCryptographicHash::hash(longPath, QCryptographicHash::Sha1).toHex())
                                      + ".lock";
}

void TestDeviceSearch::lockNames()
{
    QFETCH(QString, port);
    QFETCH(QString, name);
    QCOMPARE(PortClaim::lockFileName(port), name);
}

QTEST_GUILESS_MAIN(TestDeviceSearch)
#include "tst_device_search.moc"
