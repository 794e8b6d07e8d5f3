#include <QtTest>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
enum StationChange { Intact, NoList, NoKeysFolder, NoMacFolder, KeysFull, MacFull, BadFile };
enum KeyRecord { NoKeyLine, KeyLine };
enum MacRecord { NoMacLine, MacLines };

const char* kHeader = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n";

QByteArray keyLine(quint64 id, const std::vector<uint8_t>& key)
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
    void bootloaderDeviceIsFoundAfterLeaving();
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
    QCOMPARE(recorder.labels.last(), QString("WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F"));

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
    QCOMPARE(readAll(bench.station() + "/Keys/public_keys.json"), keyLine(1234, key));
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
    QTest::addColumn<int>("change");
    QTest::addColumn<bool>("setDeviceId");
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<int>("faultMode");
    QTest::addColumn<int>("faultParam");
    QTest::addColumn<QString>("stopAt");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<int>("reboots");
    QTest::addColumn<bool>("restart");  // the exit restarts the device, as its last command
    QTest::addColumn<bool>("idWritten");
    QTest::addColumn<int>("keyRecord");
    QTest::addColumn<int>("macRecord");
    QTest::addColumn<int>("result");  // -1: no on_flashFinish

    const int none = int(devsim::ErrorMode::None);
    const int noAnswer = int(devsim::ErrorMode::NoAnswer);
    const int nonZero = int(devsim::ErrorMode::NonZeroResult);
    const int oversize = int(devsim::ErrorMode::OversizeFrame);
    const QString noStop;

    QTest::newRow("list missing")
        << int(NoList) << true << 0 << none << 0 << noStop
        << QStringList{"1Error while opening the list of flashing files",
                       "1Error while getting the files list"}
        << 0 << false << false << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("listed file missing")
        << int(BadFile) << true << 0 << none << 0 << noStop
        << QStringList{"1The file from list isn't exist", "1Error while getting the files list"}
        << 0 << false << false << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("stopped after the list")
        << int(Intact) << true << 0 << none << 0 << "Applying the default file list"
        << QStringList{"0Applying the default file list"} << 0 << false << false << int(NoKeyLine)
        << int(NoMacLine) << -1;
    QTest::newRow("stopped while searching")
        << int(Intact) << true << 0 << none << 0 << "Searching for the device's COM port"
        << QStringList{"0Searching for the device's COM port"} << 0 << false << false << int(NoKeyLine)
        << int(NoMacLine) << -1;
    QTest::newRow("stopped before the download")
        << int(Intact) << true << 0 << none << 0 << "Device ID: 77"
        << QStringList{"3Device ID: 77"} << 0 << false << false << int(NoKeyLine) << int(NoMacLine) << -1;
    QTest::newRow("stopped while waiting for the reboot")
        << int(Intact) << true << 0 << none << 0 << "Waiting for reboot and update"
        << QStringList{"0Waiting for reboot and update"} << 1 << false << true << int(NoKeyLine)
        << int(NoMacLine) << -1;
    QTest::newRow("device ID not read")
        << int(Intact) << true << 0x0B << noAnswer << 0 << noStop
        << QStringList{"1Getting the device ID error"} << 0 << false << false << int(NoKeyLine)
        << int(NoMacLine) << 0;
    QTest::newRow("download failed")
        << int(Intact) << true << 0x03 << nonZero << 0 << noStop
        << QStringList{"1Can't send ESP firmware file", "1Firmware download error"} << 1 << true << false << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("download failed without device ID")
        << int(Intact) << false << 0x02 << nonZero << 0 << noStop
        << QStringList{"0File for flashing: Updates/system.bin", "1Firmware download error"} << 1
        << true << false << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("device ID not written")
        << int(Intact) << true << 0x06 << noAnswer << 0 << noStop
        << QStringList{"1Error while the Device ID writing"} << 0 << false << false << int(NoKeyLine)
        << int(NoMacLine) << 0;
    QTest::newRow("key not created")
        << int(Intact) << true << 0x0F << noAnswer << 0 << noStop
        << QStringList{"0Creating the authentication key", "1Public key creating error"} << 2
        << true << true << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("key not read")
        << int(Intact) << true << 0x0E << noAnswer << 0 << noStop
        << QStringList{"0Getting the authentication key", "1Error while the public key reading"}
        << 2 << true << true << int(NoKeyLine) << int(NoMacLine) << 0;
    // A frame of 68 bytes: a key of 65 bytes, one more than the key buffer holds.
    QTest::newRow("key answer too long")
        << int(Intact) << true << 0x0E << oversize << 68 << noStop
        << QStringList{"0Getting the authentication key", "1Error while the public key reading"}
        << 2 << true << true << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("keys folder missing")
        << int(NoKeysFolder) << true << 0 << none << 0 << noStop
        << QStringList{"0Getting the authentication key", "1Public keys file opening error"} << 2
        << true << true << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("keys file not written")
        << int(KeysFull) << true << 0 << none << 0 << noStop
        << QStringList{"0Getting the authentication key", "1Public keys file writing error"} << 2
        << true << true << int(NoKeyLine) << int(NoMacLine) << 0;
    QTest::newRow("MACs not read")
        << int(Intact) << true << 0x0A << noAnswer << 0 << noStop
        << QStringList{"4The public key has been read successfully", "1Error while MACs getting"}
        << 1 << false << true << int(KeyLine) << int(NoMacLine) << 0;
    QTest::newRow("MAC folder missing")
        << int(NoMacFolder) << true << 0 << none << 0 << noStop
        << QStringList{"4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F",
                       "1MAC file opening error"}
        << 2 << true << true << int(KeyLine) << int(NoMacLine) << 0;
    QTest::newRow("MAC file not written")
        << int(MacFull) << true << 0 << none << 0 << noStop
        << QStringList{"4WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F",
                       "1MAC file data writing error"}
        << 2 << true << true << int(KeyLine) << int(NoMacLine) << 0;
    QTest::newRow("without device ID")
        << int(Intact) << false << 0 << none << 0 << noStop
        << QStringList{"4config.txt file was successfully downloaded",
                       "4Firmware downloding is complete"}
        << 1 << true << false << int(NoKeyLine) << int(NoMacLine) << 1;
}

// Every way a production run can end: its last lines, the restarts, the Device ID in the device,
// the record files afterwards and the reported result.
void TestProduction::exits()
{
    QFETCH(int, change);
    QFETCH(bool, setDeviceId);
    QFETCH(int, faultCode);
    QFETCH(int, faultMode);
    QFETCH(int, faultParam);
    QFETCH(QString, stopAt);
    QFETCH(QStringList, lastLines);
    QFETCH(int, reboots);
    QFETCH(bool, restart);
    QFETCH(bool, idWritten);
    QFETCH(int, keyRecord);
    QFETCH(int, macRecord);
    QFETCH(int, result);

    Bench bench;
    QVERIFY(bench.useExampleStation());
    const QString station = bench.station();
    const QString keys = station + "/Keys/public_keys.json";
    const QString macs = station + "/MAC/MACs.txt";
    switch (StationChange(change)) {
    case NoList:
        QVERIFY(QFile::remove(station + "/Production/production_files.cfg"));
        break;
    case BadFile:
        QVERIFY(QFile::remove(station + "/Production/drivers.bin"));
        break;
    case NoKeysFolder:
        QVERIFY(QDir(station + "/Keys").removeRecursively());
        break;
    case NoMacFolder:
        QVERIFY(QDir(station + "/MAC").removeRecursively());
        break;
    case KeysFull:
        QVERIFY(QFile::link("/dev/full", keys));
        break;
    case MacFull:
        QVERIFY(QFile::link("/dev/full", macs));
        break;
    case Intact:
        break;
    }

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

    if (change != KeysFull) {
        QCOMPARE(readAll(keys), keyRecord == KeyLine ? keyLine(1234, device->publicKey())
                                                     : QByteArray());
    }
    if (change != MacFull) {
        QCOMPARE(readAll(macs), macRecord == MacLines
                                    ? QByteArray(kHeader) + "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n"
                                    : QByteArray());
        QCOMPARE(QFile::exists(macs), macRecord == MacLines);
    }
}

// The operator's bootloader option does not matter in production: the polling sends a device in
// its bootloader out of it and finds it when it comes back with its firmware.
void TestProduction::bootloaderDeviceIsFoundAfterLeaving()
{
    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Config config = bench.config();
    config.bootloader = true;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    const QString port = QString::fromStdString(device->portPath());

    Logger_c logger;
    Flashing_c worker(5, true, "/Production/", false, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    worker.runProduction();

    QCOMPARE(recorder.log.mid(1, 4),
             (QStringList{"0Searching for the device's COM port",
                          "4Found device connected to " + port,
                          "4Firmware version is VELTORA-FW 3.2.0", "3Device ID: 0"}));
    QCOMPARE(recorder.finishes, QList<bool>{true});
    const std::vector<uint8_t> codes = device->commandCodes();
    QCOMPARE(std::vector<uint8_t>(codes.begin(), codes.begin() + 3),
             (std::vector<uint8_t>{0x0C, 0x09, 0x0C}));
}

QTEST_GUILESS_MAIN(TestProduction)
#include "tst_production.moc"
