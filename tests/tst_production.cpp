// Production runs through the worker, every way they end: the log lines with their colour codes,
// what the device holds afterwards and the record bytes. The record writers on their own are unit
// tests (unit/unit_records.cpp).
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "port_list.h"
#include "prod_fixture.h"
#include "run_record.h"
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
    void twoUnits_data();
    void twoUnits();
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
    // "remove <path>"; "full <record>": a link to /dev/full; "file <path>": a file in place of
    // a folder; "stop: <line>": stopped on that line; "cut <ms>": every answer pauses at a
    // random byte; "empty key": the key created is empty; "echo <id>": the device answers the ID
    // writing with that ID; "forget": it does not keep the ID ("..., serial": its port tells a USB
    // serial number only after the restart, as new firmware may); "journal <id>[, held]": the
    // journal shows the ID given to a device (the device holds it); "noted <id>[, asked]": the
    // station's allocator has it taken (a journal line that asked for it, unwritten); "produced
    // 77": a station run on a unit produced with 77; "silent after the restart": the first ID
    // request after it gets no answer; else a misbehaviour of the device as
    // veltora-devsim --fault takes it.
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("lastLines"); // "<port>", "<station>": the device's, the test's
    QTest::addColumn<int>("reboots");           // -1: the device got no command at all
    QTest::addColumn<bool>("restart");          // the exit restarts the device, as its last command
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
    QTest::newRow("list missing")
        << p << true << "remove Production/production_files.cfg"
        << QStringList{"1Error while opening the list of flashing files",
                       "0The list <station>/Production/production_files.cfg "
                       "cannot be read: it does not exist",
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
    // The device is not touched before the run knows it can record what it does to it.
    QTest::newRow("keys folder missing")
        << p << true << "remove Keys"
        << QStringList{"1Public keys file opening error: no folder <station>/Keys"} << -1 << false
        << false << 0 << 0;
    QTest::newRow("keys file not appendable")
        << p << true << "full Keys/public_keys.json"
        << QStringList{"1Public keys file opening error: <station>/Keys/public_keys.json cannot "
                       "be appended to"}
        << -1 << false << false << 0 << 0;
    QTest::newRow("MAC file not appendable")
        << p << true << "full MAC/MACs.txt"
        << QStringList{"1MAC file opening error: <station>/MAC/MACs.txt cannot be appended to"}
        << -1 << false << false << 0 << 0;
    QTest::newRow("journal folder blocked")
        << p << true << "file Logs"
        << QStringList{"1Run journal writing error: no folder <station>/Logs"} << -1 << false
        << false << 0 << 0;
    // No key line without its MAC line.
    QTest::newRow("MACs not read")
        << p << true << "0x0a:no-answer"
        << QStringList{"4The public key has been read successfully", "1Error while MACs getting"}
        << 1 << false << true << 0 << 0;
    QTest::newRow("another ID echoed")
        << p << true << "echo 4321"
        << QStringList{"1The device answered the Device ID writing with 4321 instead of 1234"} << 0
        << false << true << 0 << 0;
    const QStringList notKept{
        "0Waiting for reboot and update",
        "1The device on <port> still holds Device ID 77: it did not keep Device ID 1234"};
    QTest::newRow("ID not kept") << p << true << "forget" << notKept << 1 << false << false << 0
                                 << 0;
    QTest::newRow("ID not kept, serial number after the restart")
        << p << true << "forget, serial" << notKept << 1 << false << false << 0 << 0;
    QTest::newRow("ID given to another device before")
        << p << true << "journal 1234"
        << QStringList{"3Device ID: 77", "1Device ID 1234 was already given to a device in run "
                                         "5eed1e55c0de (started 2024-05-06T08:31:13.373Z)"}
        << 0 << false << false << 0 << 0;
    // The station's allocator has 1234 as taken by a run that has not ended (killed, say).
    QTest::newRow("ID taken by a run that has not ended")
        << p << true << "noted 1234"
        << QStringList{"3Device ID: 77", "1Device ID 1234 is taken by another run of this station "
                                         "that has not ended"}
        << 0 << false << false << 0 << 0;
    // A run that was to write it and ended without doing so holds it no more.
    QTest::newRow("ID noted by a run that ended before writing it")
        << p << true << "noted 1234, asked" << QStringList{macs} << 2 << true << true << 2 << 1;
    // A unit produced before gets the station's next ID, not the one it holds.
    QTest::newRow("station run of a unit produced before")
        << p << true << "produced 77" << QStringList{macs} << 2 << true << true << 2 << 1;
    QTest::newRow("re-run of a device that holds its ID")
        << p << true << "journal 1234, held" << QStringList{macs} << 2 << true << true << 2 << 1;
    // Silent at first after its restart, the unit is asked again.
    QTest::newRow("ID unread once after the restart")
        << p << true << "silent after the restart" << QStringList{macs} << 2 << true << true << 2
        << 1;
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
            QVERIFY(QFile::remove(changed) || QDir(changed).removeRecursively());
        if (event.startsWith("full "))
            QVERIFY(QFile::remove(changed) && QFile::link("/dev/full", changed));
        if (event.startsWith("file "))
            QVERIFY(writeFile(changed, "a file, not a folder"));
        if (event.startsWith("noted "))
            QVERIFY(writeFile(station + "/Logs/device_ids.json",
                              "{\"blocks\":[],\"journal_offset\":0,\"next\":null,\"taken\":[\"" +
                                  event.mid(6, 4).toLatin1() + "\"]}\n"));
        const QString stopAt = event.startsWith("stop: ") ? event.mid(6) : QString();

        devsim::Config config = bench.config();
        config.deviceId = 77;
        if (event.startsWith("echo "))
            config.deviceIdEcho = event.mid(5).toULongLong();
        config.keepsDeviceId = !event.startsWith("forget");
        if (event.endsWith(", serial"))
            config.usbSerial = "SIMA";
        if (event.startsWith("journal ") || event.endsWith("asked")) {
            RunRecord given;
            given.id = "5eed1e55c0de";
            given.start = QDateTime::fromString("2024-05-06T08:31:13.373Z", Qt::ISODateWithMs);
            given.deviceIdAsked = true;
            given.deviceId = 1234;
            given.deviceIdWritten = !event.endsWith("asked");
            QByteArray lines = given.toJsonLine();
            if (event == "journal 1234") {
                // Given again later (journals of two stations joined): the first run is named.
                given.id = "1a7e2a7e2a7e";
                given.start = given.start.addDays(1);
                lines += given.toJsonLine();
            }
            QVERIFY(writeFile(station + "/Logs/runs.jsonl", lines));
            if (event.endsWith("held"))
                config.deviceId = 1234;
        }
        if (event == "produced 77") {
            RunRecord produced;
            produced.kind = "production";
            produced.deviceIdAsked = produced.deviceIdWritten = true;
            produced.deviceId = 77;
            produced.result = RunRecord::Result::Success;
            QVERIFY(writeFile(station + "/Logs/runs.jsonl", produced.toJsonLine()));
        }
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
        if (event.endsWith(", serial")) {
            QByteArray ports = readAll(bench.portsFile());
            QVERIFY(writeFile(bench.portsFile(), ports.replace(" serial=SIMA", "")));
        }
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
        if (event == "produced 77")
            worker->setStationIds(1234);
        Recorder recorder;
        recorder.attach(logger);
        recorder.attach(*worker);
        connect(&logger, &Logger_c::sigLog, worker.get(), [&](const QString& line) {
            if (!stopAt.isEmpty() && line.mid(1) == stopAt)
                worker->stop();
            if (event == "silent after the restart" && line == "0Waiting for reboot and update")
                device->setFault(0x0b, devsim::Fault{devsim::ErrorMode::NoAnswer, 0, 1});
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

        lastLines.replaceInStrings("<port>", QString::fromStdString(device->portPath()))
            .replaceInStrings("<station>", station);
        QVERIFY2(recorder.log.mid(recorder.log.size() - lastLines.size()) == lastLines,
                 qPrintable(recorder.log.join('\n')));
        QCOMPARE(recorder.finishes, result < 0 ? QList<bool>{} : QList<bool>{result == 1});
        QVERIFY(!stopper.stopped());
        QVERIFY2(elapsed <= kBoundMs, qPrintable(QString::number(elapsed)));
        const std::vector<uint8_t> codes = device->commandCodes();
        QCOMPARE(countOf(codes, 0x08), qMax(reboots, 0));
        if (reboots < 0)
            QCOMPARE(codesOf(*device), QByteArray());
        if (result >= 0)
            QCOMPARE(!codes.empty() && codes.back() == 0x08, restart);
        QCOMPARE(device->deviceId(), quint64(idWritten ? 1234 : 77));
        if (QFileInfo(keys).isFile())
            QCOMPARE(readAll(keys), records >= 1 ? kKeysBefore + kKeyLine1234 : kKeysBefore);
        if (QFileInfo(macs).isFile())
            QCOMPARE(readAll(macs), records >= 2 ? kMacsBefore + kMacLine1234 : kMacsBefore);
        if (result == 1 && run == Production) {
            // The dialog's label shows every line but these.
            QStringList shown = withoutColours(recorder.log);
            for (const QString& line : {"Device ID: " + QString::number(config.deviceId),
                                        QString("Found 4 file(s) for flashing"),
                                        QString("Creating the authentication key"),
                                        QString("Getting the authentication key"),
                                        QString("Taking Device ID 1234 from the station"),
                                        QString("Re-identifying the device: it was produced with "
                                                "Device ID 77 and gets Device ID 1234")})
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
        QTRY_COMPARE_WITH_TIMEOUT(device->rebootCount(), qMax(reboots, 0), 5000);
        device->plug();
        QVERIFY(opensAgain(device->portPath()));
    }
    QCOMPARE(openDescriptors(), descriptorsBefore);
}

void TestProduction::twoUnits_data()
{
    QTest::addColumn<bool>("serials"); // the ports tell their USB serial numbers and locations
    // Unit A is pulled during its restart and unit B plugged in on its port; else B is there
    // from the start.
    QTest::addColumn<bool>("swap");
    QTest::addColumn<QString>("passedOver"); // the line that says why the run waits
    QTest::addColumn<QByteArray>("codesOfB");
    QTest::addColumn<int>("result"); // -1: still waiting when stopped

    const QString waiting = ": waiting for the device with Device ID 1234";
    const QString other = "0The device on <port> is another device (USB serial number SIMB)";
    const QString holds = "0The device on <port> holds Device ID ";
    const QByteArray versionAndId = QByteArray::fromHex("0c0b");
    QTest::newRow("both attached") << true << false << other + waiting << QByteArray() << 1;
    QTest::newRow("both attached, no serial numbers")
        << false << false << holds + "77" + waiting << versionAndId << 1;
    QTest::newRow("swapped during the restart")
        << true << true << other + waiting << QByteArray() << -1;
    QTest::newRow("swapped, no serial numbers")
        << false << true << holds + "88" + waiting << versionAndId << -1;
}

// Two units on the bench: the run goes on only with the unit it wrote the ID into, tells once
// why it waits, never touches a unit whose serial number says it is another, and every record
// line belongs to the unit that holds its ID.
void TestProduction::twoUnits()
{
    QFETCH(bool, serials);
    QFETCH(bool, swap);
    QFETCH(QString, passedOver);
    QFETCH(QByteArray, codesOfB);
    QFETCH(int, result);

    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Config configA = bench.config(0);
    devsim::Config configB = bench.config(1);
    configA.deviceId = 77;
    // Side by side both come with the factory's ID; the unit swapped in holds another.
    configB.deviceId = swap ? 88 : 77;
    // Away long enough for the run to meet unit B first.
    configA.rebootDelayMs = 500;
    configB.wifiMac[5] = 0x77;
    if (serials) {
        configA.usbSerial = "SIMA";
        configB.usbSerial = "SIMB";
        configA.usbLocation = configB.usbLocation = "1-1.2";
    }
    if (swap)
        configB.linkName = configA.linkName;
    configB.pluggedAtStart = !swap;
    devsim::Device* a = bench.start(configA);
    devsim::Device* b = bench.start(configB);
    QVERIFY(a && b);

    Logger_c logger;
    Flashing_c worker(1234, true, "/Production/", true, &logger);
    worker.protocol()->setTimeoutLimitMs(kCap);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    std::atomic<bool> told{false};
    connect(&logger, &Logger_c::sigLog, &worker, [&](const QString& line) {
        if (swap && line == "0Waiting for reboot and update") {
            a->stop();
            b->plug();
        }
        told = told || line.mid(1).startsWith("The device on ");
    });
    // A run left waiting is stopped a while after it has told why, long enough to tell twice.
    const auto toldWhy = [&] {
        const Clock::time_point start = Clock::now();
        while (!told && msSince(start) < kBoundMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    DelayedStop stopper(worker, result < 0 ? toldWhy : std::function<void()>(),
                        result < 0 ? 300 : kBoundMs);
    worker.runProduction();
    stopper.cancel();

    passedOver.replace("<port>", QString::fromStdString(b->portPath()));
    QCOMPARE(recorder.log.count(passedOver), 1);
    QCOMPARE(recorder.finishes, result < 0 ? QList<bool>{} : QList<bool>{true});
    QCOMPARE(a->deviceId(), quint64(1234));
    QCOMPARE(b->deviceId(), configB.deviceId);
    QCOMPARE(codesOf(*b).toHex(), codesOfB.toHex());

    // Every line names a unit that holds its ID, with that unit's key and MACs.
    const QList<devsim::Device*> units{a, b};
    const auto holder = [&](quint64 id) -> devsim::Device* {
        for (devsim::Device* unit : units) {
            if (unit->deviceId() == id)
                return unit;
        }
        return nullptr;
    };
    const QString station = bench.station();
    QList<QByteArray> keyLines = readAll(station + "/Keys/public_keys.json").split('\n');
    QList<QByteArray> macLines = readAll(station + "/MAC/MACs.txt").split('\n');
    keyLines.removeAll(QByteArray());
    macLines.removeAll(QByteArray());
    QCOMPARE(keyLines.size(), result > 0 ? 1 : 0);
    QCOMPARE(macLines.size(), result > 0 ? 2 : 0);
    for (const QByteArray& line : keyLines) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        devsim::Device* unit = holder(quint64(record["device_id"].toDouble()));
        QVERIFY(unit);
        const std::vector<uint8_t> key = unit->publicKey();
        QCOMPARE(record["key"].toString().toLatin1(),
                 QByteArray(reinterpret_cast<const char*>(key.data()), int(key.size())).toBase64());
    }
    for (const QByteArray& line : macLines.mid(1)) {
        devsim::Device* unit = holder(line.split('\t').first().toULongLong());
        QVERIFY(unit);
        QCOMPARE(line.split('\t').at(1), unit == b ? "00:1A:2B:3C:4D:77" : "00:1A:2B:3C:4D:5E");
    }
}

QTEST_GUILESS_MAIN(TestProduction)
#include "tst_production.moc"
