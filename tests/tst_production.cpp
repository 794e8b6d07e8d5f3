#include <QtTest>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
const char* kHeader = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n";

QByteArray keyRecord(quint64 id, const std::vector<uint8_t>& key)
{
    return "{\"device_id\": " + QByteArray::number(id) + ", \"key\": \"" +
           QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toBase64() +
           "\"}\n";
}
} // namespace

class TestProduction : public QObject
{
    Q_OBJECT
private slots:
    void successfulRun();
    void exits_data();
    void exits();
};

// One whole run over the example station: the log as the operator sees it, the files on the
// device, both records and the Device ID in the device.
void TestProduction::successfulRun()
{
    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Config config = bench.config();
    config.deviceId = 77;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    const QString port = QString::fromStdString(device->portPath());

    Logger_c logger;
    Flashing_c worker(1234, false, "/Production/", true, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    worker.runProduction();

    const QStringList expected = {
        "0Applying the default file list",
        "0Searching for the device's COM port",
        "4Found device connected to " + port,
        "4Firmware version is VELTORA-FW 3.2.0",
        "3Device ID: 77",
        "0Found 4 file(s) for flashing",
        "0File for flashing: Updates/system.bin",
        "0File is flashing: Updates/system.bin",
        "4system.bin file was successfully downloaded",
        "0File for flashing: Updates/drivers.bin",
        "0File is flashing: Updates/drivers.bin",
        "4drivers.bin file was successfully downloaded",
        "0File for flashing: Updates/interface.bin",
        "0File is flashing: Updates/interface.bin",
        "4interface.bin file was successfully downloaded",
        "0File for flashing: Updates/config.txt",
        "0File is flashing: Updates/config.txt",
        "4config.txt file was successfully downloaded",
        "4Firmware downloding is complete",
        "4The Device ID has been written successfully",
        "0Waiting for reboot and update",
        "4Found device connected to " + port,
        "4Firmware version is VELTORA-FW 3.2.0",
        "0Creating the authentication key",
        "0Getting the authentication key",
        "4The public key has been read successfully",
        "4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F",
    };
    QCOMPARE(recorder.log, expected);
    QCOMPARE(recorder.finishes, QList<bool>{true});
    // The dialog's label shows every line but these.
    const QStringList logOnly = {"3Device ID: 77", "0Found 4 file(s) for flashing",
                                 "0Creating the authentication key",
                                 "0Getting the authentication key"};
    QStringList labels;
    for (const QString& line : expected)
        if (!logOnly.contains(line))
            labels << line.mid(1);
    QCOMPARE(recorder.labels, labels);

    const QString production = bench.station() + "/Production/";
    const QString fs = bench.fsRoot();
    QCOMPARE(readAll(fs + "/Updates/nRF_Update_c.bin"), readAll(production + "nRF_Update_c.bin"));
    QCOMPARE(readAll(fs + "/Updates/ESP_Update_c.bin"), readAll(production + "ESP_Update_c.bin"));
    QCOMPARE(readAll(fs + "/Updates/NRF_Bootloader_c.bin"),
             readAll(production + "NRF_Bootloader_c.bin"));
    QCOMPARE(readAll(fs + "/config.txt"), QByteArray("line=A\nstation=demo\n"));
    QVERIFY(!QFile::exists(fs + "/Updates/system.bin"));

    QCOMPARE(device->deviceId(), quint64(1234));
    const std::vector<uint8_t> key = device->publicKey();
    QCOMPARE(int(key.size()), 64);
    QCOMPARE(readAll(bench.station() + "/Keys/public_keys.json"), keyRecord(1234, key));
    QCOMPARE(readAll(bench.station() + "/MAC/MACs.txt"),
             QByteArray(kHeader) + "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n");

    // Restarted after the ID and at the end; the port is released.
    const std::vector<uint8_t> codes = device->commandCodes();
    QCOMPARE(countOf(codes, 0x08), 2);
    QCOMPARE(codes.back(), uint8_t(0x08));
    QVERIFY(!worker.protocol()->portOpen());
}

void TestProduction::exits_data()
{
    QTest::addColumn<QString>("change");  // "remove <path>", or "full <record>": a link to /dev/full
    QTest::addColumn<bool>("setDeviceId");
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<int>("faultMode");
    QTest::addColumn<int>("faultParam");
    QTest::addColumn<QString>("stopAt");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<int>("reboots");
    QTest::addColumn<bool>("restart");  // the exit restarts the device, as its last command
    QTest::addColumn<bool>("idWritten");
    QTest::addColumn<bool>("keyLine");  // the key record holds the device's line; never a MAC line
    QTest::addColumn<int>("result");  // -1: no on_flashFinish

    const int none = int(devsim::ErrorMode::None);
    const int noAnswer = int(devsim::ErrorMode::NoAnswer);
    const int nonZero = int(devsim::ErrorMode::NonZeroResult);
    const QString intact;
    const QString noStop;
    const QString getting = "0Getting the authentication key";
    const QString macs = "4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F";

    QTest::newRow("list missing") << "remove Production/production_files.cfg" << true << 0 << none << 0 << noStop
        << QStringList{"1Error while opening the list of flashing files", "1Error while getting the files list"}
        << 0 << false << false << false << 0;
    QTest::newRow("listed file missing") << "remove Production/ESP_Update_c.bin" << true << 0 << none << 0 << noStop
        << QStringList{"1The file from list isn't exist", "1Error while getting the files list"}
        << 0 << false << false << false << 0;
    QTest::newRow("stopped after the list") << intact << true << 0 << none << 0 << "Applying the default file list"
        << QStringList{"0Applying the default file list"} << 0 << false << false << false << -1;
    QTest::newRow("stopped while searching") << intact << true << 0 << none << 0
        << "Searching for the device's COM port" << QStringList{"0Searching for the device's COM port"}
        << 0 << false << false << false << -1;
    QTest::newRow("stopped before the download") << intact << true << 0 << none << 0 << "Device ID: 77"
        << QStringList{"3Device ID: 77"} << 0 << false << false << false << -1;
    QTest::newRow("stopped while waiting for the reboot") << intact << true << 0 << none << 0
        << "Waiting for reboot and update" << QStringList{"0Waiting for reboot and update"}
        << 1 << false << true << false << -1;
    QTest::newRow("device ID not read") << intact << true << 0x0B << noAnswer << 0 << noStop
        << QStringList{"1Getting the device ID error"} << 0 << false << false << false << 0;
    QTest::newRow("download failed") << intact << true << 0x03 << nonZero << 0 << noStop
        << QStringList{"1Can't send ESP firmware file", "1Firmware download error"}
        << 1 << true << false << false << 0;
    QTest::newRow("download failed without device ID") << intact << false << 0x02 << nonZero << 0 << noStop
        << QStringList{"0File for flashing: Updates/system.bin", "1Firmware download error"}
        << 1 << true << false << false << 0;
    QTest::newRow("device ID not written") << intact << true << 0x06 << noAnswer << 0 << noStop
        << QStringList{"1Error while the Device ID writing"} << 0 << false << false << false << 0;
    QTest::newRow("key not created") << intact << true << 0x0F << noAnswer << 0 << noStop
        << QStringList{"0Creating the authentication key", "1Public key creating error"}
        << 2 << true << true << false << 0;
    // The refusal itself goes unchecked; the empty value read next must end the run.
    QTest::newRow("key creation refused") << intact << true << 0x0F << nonZero << 0 << noStop
        << QStringList{getting, "1Error while the public key reading"} << 2 << true << true << false << 0;
    QTest::newRow("key not read") << intact << true << 0x0E << noAnswer << 0 << noStop
        << QStringList{getting, "1Error while the public key reading"} << 2 << true << true << false << 0;
    // A frame of 68 bytes: a key of 65 bytes, one more than the key buffer holds.
    QTest::newRow("key answer too long") << intact << true << 0x0E << int(devsim::ErrorMode::OversizeFrame) << 68
        << noStop << QStringList{getting, "1Error while the public key reading"} << 2 << true << true << false << 0;
    // A record that cannot be written ends the run with the device restarted; the writers' own
    // failures are the record-fault rows'.
    QTest::newRow("keys file not written") << "full Keys/public_keys.json" << true << 0 << none << 0 << noStop
        << QStringList{getting, "1Public keys file opening error"} << 2 << true << true << false << 0;
    QTest::newRow("MACs not read") << intact << true << 0x0A << noAnswer << 0 << noStop
        << QStringList{"4The public key has been read successfully", "1Error while MACs getting"}
        << 1 << false << true << true << 0;
    QTest::newRow("MAC file not written") << "full MAC/MACs.txt" << true << 0 << none << 0 << noStop
        << QStringList{macs, "1MAC file opening error"} << 2 << true << true << true << 0;
    QTest::newRow("without device ID") << intact << false << 0 << none << 0 << noStop
        << QStringList{"4config.txt file was successfully downloaded", "4Firmware downloding is complete"}
        << 1 << true << false << false << 1;
}

// Every way a production run can end: its last lines, the restarts, the Device ID in the device,
// the record files afterwards and the reported result.
void TestProduction::exits()
{
    QFETCH(QString, change);
    QFETCH(bool, setDeviceId);
    QFETCH(int, faultCode);
    QFETCH(int, faultMode);
    QFETCH(int, faultParam);
    QFETCH(QString, stopAt);
    QFETCH(QStringList, lastLines);
    QFETCH(int, reboots);
    QFETCH(bool, restart);
    QFETCH(bool, idWritten);
    QFETCH(bool, keyLine);
    QFETCH(int, result);

    Bench bench;
    QVERIFY(bench.useExampleStation());
    const QString keys = bench.station() + "/Keys/public_keys.json";
    const QString macs = bench.station() + "/MAC/MACs.txt";
    const QString changed = bench.station() + "/" + change.section(' ', 1);
    if (change.startsWith("remove "))
        QVERIFY(QFileInfo(changed).isDir() ? QDir(changed).removeRecursively() : QFile::remove(changed));
    if (change.startsWith("full "))
        QVERIFY(QFile::link("/dev/full", changed));

    devsim::Config config = bench.config();
    config.deviceId = 77;
    // The search has nothing to find when the run is to be stopped there.
    config.pluggedAtStart = stopAt != "Searching for the device's COM port";
    // Nor the wait for the restarted device.
    if (stopAt == "Waiting for reboot and update")
        config.rebootDelayMs = 10000;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    if (faultCode)
        device->setFault(uint8_t(faultCode), {devsim::ErrorMode(faultMode), faultParam, -1});

    Logger_c logger;
    Flashing_c worker(1234, false, "/Production/", setDeviceId, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    if (!stopAt.isEmpty()) {
        connect(&logger, &Logger_c::sigLog, &worker, [&](const QString& line) {
            if (line.mid(1) == stopAt)
                worker.stop();
        });
    }
    worker.runProduction();

    QVERIFY(recorder.log.size() >= lastLines.size());
    QCOMPARE(recorder.log.mid(recorder.log.size() - lastLines.size()), lastLines);
    if (result < 0)
        QVERIFY(recorder.finishes.isEmpty());
    else
        QCOMPARE(recorder.finishes, QList<bool>{result == 1});

    const std::vector<uint8_t> codes = device->commandCodes();
    QCOMPARE(countOf(codes, 0x08), reboots);
    if (result >= 0)
        QCOMPARE(!codes.empty() && codes.back() == 0x08, restart);
    QCOMPARE(device->deviceId(), quint64(idWritten ? 1234 : 77));
    if (!QFileInfo(keys).isSymLink())
        QCOMPARE(readAll(keys), keyLine ? keyRecord(1234, device->publicKey()) : QByteArray());
    if (!QFileInfo(macs).isSymLink())
        QVERIFY(!QFile::exists(macs));
}

QTEST_GUILESS_MAIN(TestProduction)
#include "tst_production.moc"
