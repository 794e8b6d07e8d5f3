// The Test tab's runs end to end: the J-Link phase against the stand-in commander, the device
// search, the Device ID and the test files against the simulated device, and the re-test.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

#include "devsim.h"
#include "flashing.h"
#include "logger.h"
#include "station.h"
#include "usb_cdc_protocol.h"

namespace {

// The test run only accepts a port that appears after it has listed the ports; the device is
// plugged in right after that listing, as a freshly programmed device would show up.
devsim::Device* g_plugAfterListing = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void plugAfterListing(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (g_plugAfterListing && message.contains("Connecting device waiting box signal result")) {
        g_plugAfterListing->plug();
        g_plugAfterListing = nullptr;
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeExecutable(const QString& path, const QByteArray& text)
{
    return writeFile(path, text)
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QByteArray scriptFor(const QByteArray& imageUtf8)
{
    return "si SWD\nspeed auto\ndevice nRF52840_xxAA\nloadfile \"TestFiles//" + imageUtf8
        + "\"\nr\ng\nqc\n";
}

const QByteArray kTestList = "j:nrf_app.hex\r\nj:nrf_net.hex\r\nc:config.txt\r\nc:selftest.bin\r\n";

} // namespace

class TestRunTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void scriptBytes_data();
    void scriptBytes();
    void programFailures_data();
    void programFailures();
    void testRun_data();
    void testRun();
    void testRunEnds_data();
    void testRunEnds();
    void retest_data();
    void retest();

private:
    enum class Commander { Fake, Hang, ExitOne, Crash, None };
    void installCommander(Commander kind);
    std::unique_ptr<Flashing_c> makeWorker(bool setDeviceId);
    devsim::Config deviceConfig(const char* linkName, bool plugged, bool bootloader) const;
    QStringList commanderRuns() const;
    int commandersRunning() const;
    QString port(const devsim::Device& device) const { return QString::fromStdString(device.portPath()); }
    static QStringList withoutColours(const QStringList& lines);
    static QByteArray commandCodes(const devsim::Device& device);

    std::unique_ptr<QTemporaryDir> m_tmp;
    QString m_station;
    QString m_testFiles;
    QString m_deviceFs;
    std::unique_ptr<devsim::Device> m_device;
    Logger_c m_logger;
    QStringList m_lines;
    QStringList m_labels;
    QList<bool> m_results;
    QByteArray m_savedPath;
};

void TestRunTest::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(plugAfterListing);
    m_savedPath = qgetenv("PATH");
    connect(&m_logger, &Logger_c::sigLog, this, [this](const QString& line) { m_lines << line; });
    connect(&m_logger, &Logger_c::sigLabel, this, [this](const QString& text) { m_labels << text; });
}

void TestRunTest::cleanupTestCase()
{
    qInstallMessageHandler(g_previousHandler);
    qputenv("PATH", m_savedPath);
}

void TestRunTest::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    m_station = m_tmp->path();
    m_testFiles = m_station + "/TestFiles/";
    m_deviceFs = m_station + "/devfs";
    QVERIFY(QDir(m_station).mkpath("sim"));
    setStationDir(m_station);
    qputenv("VELTORA_EXTRA_PORTS", QFile::encodeName(m_station + "/ports"));
    qputenv("PATH", m_savedPath);

    QVERIFY(writeFile(m_testFiles + "test_files.cfg", kTestList));
    QVERIFY(writeFile(m_testFiles + "nrf_app.hex", ":020000040000FA\n"));
    QVERIFY(writeFile(m_testFiles + "nrf_net.hex", ":00000001FF\n"));
    QVERIFY(writeFile(m_testFiles + "config.txt", "mode=selftest\n"));
    QByteArray selftest(1000, '\0');
    for (int i = 0; i < selftest.size(); ++i)
        selftest[i] = char(i * 13);
    QVERIFY(writeFile(m_testFiles + "selftest.bin", selftest));
    installCommander(Commander::Fake);

    m_device = std::make_unique<devsim::Device>(deviceConfig("ttySIM0", false, false));
    QVERIFY(m_device->start());

    m_lines.clear();
    m_labels.clear();
    m_results.clear();
}

void TestRunTest::cleanup()
{
    g_plugAfterListing = nullptr;
    m_device.reset();
    setStationDir(QString());
    m_tmp.reset();
}

devsim::Config TestRunTest::deviceConfig(const char* linkName, bool plugged, bool bootloader) const
{
    devsim::Config config;
    config.dir = QFile::encodeName(m_station + "/sim").toStdString();
    config.portsFile = QFile::encodeName(m_station + "/ports").toStdString();
    config.linkName = linkName;
    config.fsRoot = QFile::encodeName(m_deviceFs).toStdString();
    config.pluggedAtStart = plugged;
    config.bootloader = bootloader;
    config.rebootDelayMs = 30;
    config.deviceId = 777;
    return config;
}

void TestRunTest::installCommander(Commander kind)
{
    const QString program = m_station + "/JLinkExe";
    QFile::remove(program);
    qunsetenv("VELTORA_FAKE_JLINK_HANG");
    qunsetenv("VELTORA_FAKE_JLINK_EXIT");
    switch (kind) {
    case Commander::Fake:
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, program));
        break;
    case Commander::Hang:
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, program));
        qputenv("VELTORA_FAKE_JLINK_HANG", "1");
        break;
    case Commander::ExitOne:
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, program));
        qputenv("VELTORA_FAKE_JLINK_EXIT", "1");
        break;
    case Commander::Crash:
        QVERIFY(writeExecutable(program, "#!/bin/sh\nkill -SEGV $$\n"));
        break;
    case Commander::None:
        // Nothing in the station folder and nothing on the PATH.
        qputenv("PATH", QFile::encodeName(m_station + "/sim"));
        break;
    }
}

// Processes still running this station's commander.
int TestRunTest::commandersRunning() const
{
    int count = 0;
    const QByteArray program = QFile::encodeName(m_station + "/TestFiles/../JLinkExe");
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (readFile("/proc/" + pid + "/cmdline").startsWith(program))
            ++count;
    }
    return count;
}

std::unique_ptr<Flashing_c> TestRunTest::makeWorker(bool setDeviceId)
{
    auto worker = std::make_unique<Flashing_c>(12345678901ULL, true, "/TestFiles/", setDeviceId, &m_logger);
    connect(worker.get(), &Flashing_c::on_flashFinish, this, [this](bool result) { m_results << result; });
    return worker;
}

QStringList TestRunTest::commanderRuns() const
{
    const QString log = QString::fromUtf8(readFile(m_testFiles + "fake-jlink.log"));
    return log.split('\n', Qt::SkipEmptyParts);
}

QStringList TestRunTest::withoutColours(const QStringList& lines)
{
    QStringList texts;
    for (const QString& line : lines)
        texts << line.mid(1);
    return texts;
}

QByteArray TestRunTest::commandCodes(const devsim::Device& device)
{
    const std::vector<uint8_t> codes = device.commandCodes();
    return QByteArray(reinterpret_cast<const char*>(codes.data()), int(codes.size()));
}

void TestRunTest::scriptBytes_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QByteArray>("script");

    QTest::newRow("plain name") << "nrf_app.hex"
                                << QByteArray("si SWD\nspeed auto\ndevice nRF52840_xxAA\n"
                                              "loadfile \"TestFiles//nrf_app.hex\"\nr\ng\nqc\n");
    QTest::newRow("non-ASCII name") << QString::fromUtf8("nrf_\xc3\xbc.hex")
                                    << QByteArray("si SWD\nspeed auto\ndevice nRF52840_xxAA\n"
                                                  "loadfile \"TestFiles//nrf_\xc3\xbc.hex\"\nr\ng\nqc\n");
}

void TestRunTest::scriptBytes()
{
    QFETCH(QString, image);
    QFETCH(QByteArray, script);

    QVERIFY(writeFile(m_testFiles + image, ":00000001FF\n"));
    QVERIFY(writeFile(m_testFiles + "flashing-sequence.jlink", "stale script from an earlier image\n"));
    auto worker = makeWorker(false);
    QVERIFY(worker->programNrfImage(image));

    const QByteArray onDisk = readFile(m_testFiles + "flashing-sequence.jlink");
    QCOMPARE(onDisk, script);
    QCOMPARE(onDisk.size(), 69 + image.toUtf8().size());
    QCOMPARE(commanderRuns().size(), 1);
    QVERIFY(m_lines.isEmpty());
}

void TestRunTest::programFailures_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("commander");
    QTest::addColumn<bool>("scriptIsFolder");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QByteArray>("scriptAfter");   // "-" when no script file is left

    const QByteArray stale = "stale\n";
    const QByteArray complete = "si SWD\nspeed auto\ndevice nRF52840_xxAA\n"
                                "loadfile \"TestFiles//nrf_app.hex\"\nr\ng\nqc\n";
    QTest::newRow("empty name") << "" << int(Commander::Fake) << false
                                << "1nRF image writing error #1" << stale;
    QTest::newRow("image missing") << "nrf_gone.hex" << int(Commander::Fake) << false
                                   << "1Can't opennrf_gone.hex nRF image file" << QByteArray("-");
    QTest::newRow("script cannot be created") << "nrf_app.hex" << int(Commander::Fake) << true
                                              << "1nRF image writing error #2" << QByteArray("-");
    QTest::newRow("commander hangs") << "nrf_app.hex" << int(Commander::Hang) << false
                                     << "1nRF image writing error #4" << complete;
    QTest::newRow("commander missing") << "nrf_app.hex" << int(Commander::None) << false
                                       << "1nRF image writing error #4" << complete;
    QTest::newRow("commander exits 1") << "nrf_app.hex" << int(Commander::ExitOne) << false
                                       << "1nRF image writing error #5" << complete;
    QTest::newRow("commander crashes") << "nrf_app.hex" << int(Commander::Crash) << false
                                       << "1nRF image writing error #5" << complete;
}

void TestRunTest::programFailures()
{
    QFETCH(QString, image);
    QFETCH(int, commander);
    QFETCH(bool, scriptIsFolder);
    QFETCH(QString, line);
    QFETCH(QByteArray, scriptAfter);

    const QString script = m_testFiles + "flashing-sequence.jlink";
    if (scriptIsFolder)
        QVERIFY(QDir().mkpath(script));
    else
        QVERIFY(writeFile(script, "stale\n"));
    installCommander(Commander(commander));
    auto worker = makeWorker(false);
    worker->setCommanderTimeoutMs(300);

    QVERIFY(!worker->programNrfImage(image));
    QCOMPARE(m_lines, QStringList{line});
    QCOMPARE(m_labels, withoutColours({line}));
    if (scriptAfter == "-")
        QVERIFY(!QFileInfo(script).isFile());
    else
        QCOMPARE(readFile(script), scriptAfter);

    // A commander that outlived its time was killed and reaped before the call returned.
    QCOMPARE(commandersRunning(), 0);
}

void TestRunTest::testRun_data()
{
    QTest::addColumn<bool>("setDeviceId");
    QTest::newRow("Set Device ID checked") << true;
    QTest::newRow("Set Device ID unchecked") << false;
}

void TestRunTest::testRun()
{
    QFETCH(bool, setDeviceId);

    // A device port that is there before the search starts is never the one just programmed.
    devsim::Device present(deviceConfig("ttySIM1", true, false));
    QVERIFY(present.start());
    auto worker = makeWorker(setDeviceId);
    g_plugAfterListing = m_device.get();
    worker->runTest();

    QStringList expected = {"0Applying the default file list",
                            "0Flashing the nrf_app.hex image...",
                            "4File nrf_app.hex flashed successfully",
                            "0Flashing the nrf_net.hex image...",
                            "4File nrf_net.hex flashed successfully",
                            "0Searching for the device's COM port",
                            "4Found device connected to " + port(*m_device),
                            "4Firmware version is VELTORA-FW 3.2.0"};
    if (setDeviceId)
        expected << "4The Device ID has been written successfully";
    expected << "0Found 2 file(s) for flashing"
             << "0File for flashing: Updates/config.txt"
             << "0File is flashing: Updates/config.txt"
             << "4config.txt file was successfully downloaded"
             << "0File for flashing: Updates/selftest.bin"
             << "0File is flashing: Updates/selftest.bin"
             << "4selftest.bin file was successfully downloaded"
             << "4Firmware downloding is complete";
    QCOMPARE(m_lines, expected);
    QCOMPARE(m_labels, withoutColours(expected));
    QCOMPARE(m_results, QList<bool>{true});

    // The commander ran once per image, in list order; the last script stays behind.
    const QStringList runs = commanderRuns();
    QCOMPARE(runs.size(), 2);
    QVERIFY2(runs[0].contains("TestFiles//nrf_app.hex"), qPrintable(runs[0]));
    QVERIFY2(runs[1].contains("TestFiles//nrf_net.hex"), qPrintable(runs[1]));
    QCOMPARE(readFile(m_testFiles + "flashing-sequence.jlink"), scriptFor("nrf_net.hex"));

    QCOMPARE(readFile(m_deviceFs + "/config.txt"), readFile(m_testFiles + "config.txt"));
    QCOMPARE(readFile(m_deviceFs + "/Updates/selftest.bin"), readFile(m_testFiles + "selftest.bin"));
    QCOMPARE(m_device->deviceId(), setDeviceId ? 12345678901ULL : 777ULL);
    QCOMPARE(commandCodes(*m_device), QByteArray::fromHex(setDeviceId ? "0c06" "020304" "02030304" "08"
                                                                      : "0c" "020304" "02030304" "08"));
    QVERIFY(!worker->protocol()->portOpen());
    QVERIFY(present.requests().empty());
}

void TestRunTest::testRunEnds_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<int>("commander");
    QTest::addColumn<bool>("downloadFails");
    QTest::addColumn<QStringList>("tail");     // the lines after "Applying the default file list"
    QTest::addColumn<int>("commanderRuns");
    QTest::addColumn<QByteArray>("codes");     // what the device received
    QTest::addColumn<bool>("result");

    const QString found = "4Found device connected to <port>";
    const QString version = "4Firmware version is VELTORA-FW 3.2.0";
    QTest::newRow("empty J-Link name")
        << QByteArray("j:nrf_app.hex\r\nj:\r\nj:nrf_net.hex\r\nc:config.txt\r\n") << int(Commander::Fake)
        << false
        << QStringList{"0Flashing the nrf_app.hex image...", "4File nrf_app.hex flashed successfully",
                       "1Incorrect hex file size"}
        << 1 << QByteArray() << false;
    QTest::newRow("image missing from the station")
        << QByteArray("j:nrf_gone.hex\r\nc:config.txt\r\n") << int(Commander::Fake) << false
        << QStringList{"1<station>/TestFiles/nrf_gone.hex", "1The file from list isn't exist",
                       "1Error while getting the files list"}
        << 0 << QByteArray() << false;
    QTest::newRow("commander hangs")
        << kTestList << int(Commander::Hang) << false
        << QStringList{"0Flashing the nrf_app.hex image...", "1nRF image writing error #4"} << 1
        << QByteArray() << false;
    QTest::newRow("commander exits 1")
        << kTestList << int(Commander::ExitOne) << false
        << QStringList{"0Flashing the nrf_app.hex image...", "1nRF image writing error #5"} << 1
        << QByteArray() << false;
    QTest::newRow("no test files")
        << QByteArray("j:nrf_app.hex\r\n") << int(Commander::Fake) << false
        << QStringList{"0Flashing the nrf_app.hex image...", "4File nrf_app.hex flashed successfully",
                       "0Searching for the device's COM port", found, version,
                       "0Found 0 file(s) for flashing", "4Firmware downloding is complete"}
        << 1 << QByteArray::fromHex("0c08") << true;
    QTest::newRow("test file download fails")
        << QByteArray("c:config.txt\r\n") << int(Commander::Fake) << true
        << QStringList{"0Searching for the device's COM port", found, version,
                       "0Found 1 file(s) for flashing", "0File for flashing: Updates/config.txt",
                       "0File is flashing: Updates/config.txt", "1Can't send ESP firmware file",
                       "1Firmware download error"}
        << 0 << QByteArray::fromHex("0c02030408") << false;
}

void TestRunTest::testRunEnds()
{
    QFETCH(QByteArray, list);
    QFETCH(int, commander);
    QFETCH(bool, downloadFails);
    QFETCH(QStringList, tail);
    QFETCH(int, commanderRuns);
    QFETCH(QByteArray, codes);
    QFETCH(bool, result);

    QVERIFY(writeFile(m_testFiles + "test_files.cfg", list));
    installCommander(Commander(commander));
    if (downloadFails)
        m_device->setFault(0x03, devsim::Fault{devsim::ErrorMode::NonZeroResult, 1, -1});
    auto worker = makeWorker(false);
    worker->setCommanderTimeoutMs(300);
    g_plugAfterListing = m_device.get();
    worker->runTest();

    QStringList expected{"0Applying the default file list"};
    for (QString line : tail)
        expected << line.replace("<port>", port(*m_device)).replace("<station>", m_station);
    QCOMPARE(m_lines, expected);
    QCOMPARE(m_results, QList<bool>{result});
    QCOMPARE(this->commanderRuns().size(), commanderRuns);
    QCOMPARE(commandCodes(*m_device), codes);
}

void TestRunTest::retest_data()
{
    QTest::addColumn<bool>("bootloader");
    QTest::addColumn<bool>("historyOnDevice");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<bool>("result");

    QTest::newRow("found by the probe")
        << false << true
        << QStringList{"0Searching for the device's COM port", "4Found the device connected to <port>",
                       "4Firmware version isVELTORA-FW 3.2.0",
                       "3Test history has been deleted successfully"}
        << QByteArray::fromHex("010508") << true;
    QTest::newRow("deletion refused")
        << false << false
        << QStringList{"0Searching for the device's COM port", "4Found the device connected to <port>",
                       "4Firmware version isVELTORA-FW 3.2.0", "1Test history cleaning error"}
        << QByteArray::fromHex("0105") << false;
    QTest::newRow("device in its bootloader")
        << true << true
        << QStringList{"0Searching for the device's COM port", "4Found device connected to <port>",
                       "4Firmware version is VELTORA-FW 3.2.0",
                       "3Test history has been deleted successfully"}
        << QByteArray::fromHex("0c090c0508") << true;
}

void TestRunTest::retest()
{
    QFETCH(bool, bootloader);
    QFETCH(bool, historyOnDevice);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, codes);
    QFETCH(bool, result);

    if (historyOnDevice)
        QVERIFY(writeFile(m_deviceFs + "/testres.bin", "previous test results"));
    // With the bootloader row, the device answers from its bootloader when the re-test starts and
    // the probe passes it over; the operator then plugs it into another socket, where it shows up
    // as a new port that the polling sends on to its firmware.
    devsim::Device* device = m_device.get();
    std::unique_ptr<devsim::Device> bootloaderAtStart;
    std::thread replug;
    if (bootloader) {
        bootloaderAtStart = std::make_unique<devsim::Device>(deviceConfig("ttySIM1", true, true));
        QVERIFY(bootloaderAtStart->start());
        m_device->setBootloader(true);
        replug = std::thread([&] {
            if (bootloaderAtStart->waitForRequests(0x01, 1, 10000)) {
                bootloaderAtStart->unplug();
                m_device->plug();
            }
        });
    } else {
        m_device->plug();
    }
    auto worker = makeWorker(true);
    worker->runRetest();
    if (replug.joinable())
        replug.join();

    QStringList expected;
    for (QString line : lines)
        expected << line.replace("<port>", port(*device));
    QCOMPARE(m_lines, expected);
    // The blue success line goes to the log only; every other line also to the dialog's label.
    QStringList labels;
    for (const QString& line : qAsConst(expected)) {
        if (!line.startsWith('3'))
            labels << line.mid(1);
    }
    QCOMPARE(m_labels, labels);
    QCOMPARE(commandCodes(*device), codes);
    QCOMPARE(m_results, QList<bool>{result});
    QVERIFY(!QFile::exists(m_deviceFs + "/testres.bin"));
    QCOMPARE(worker->protocol()->portOpen(), !result);
    if (bootloaderAtStart)
        QCOMPARE(commandCodes(*bootloaderAtStart), QByteArray::fromHex("01"));
}

QTEST_GUILESS_MAIN(TestRunTest)
#include "tst_test_run.moc"
