// The Test tab's runs end to end: the J-Link phase against the stand-in commander, the device
// search, the Device ID and the test files against the simulated device, and the re-test.
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {

const QByteArray kTestList = "j:nrf_app.hex\r\nj:nrf_net.hex\r\nc:selftest.bin\r\n";
// The commander script for nrf_app.hex, byte for byte.
const QByteArray kAppScript = "si SWD\nspeed auto\ndevice nRF52840_xxAA\n"
                              "loadfile \"TestFiles//nrf_app.hex\"\nr\ng\nqc\n";
// An earlier script, longer than any new one: the new one must replace it whole.
const QByteArray kStale = "stale\n" + QByteArray(100, 'x');
// What the stand-in commander prints when it programs an image.
const QStringList kProgrammed = {"Connecting to target via SWD",
                                 "Cortex-M4 identified.",
                                 "Downloading file [TestFiles//nrf_app.hex]...",
                                 "O.K.",
                                 "Reset delay: 0 ms",
                                 "Script processing completed."};

} // namespace

class TestRunTest : public QObject
{
    Q_OBJECT

private slots:
    // No commander on the PATH either: a station without its own has none.
    void initTestCase() { qputenv("PATH", "/nonexistent"); }
    void init();
    void cleanup();

    void programNrfImage_data();
    void programNrfImage();
    void stopKillsAHangingCommander();
    void testRun_data();
    void testRun();
    void retest_data();
    void retest();

private:
    // The stand-in as the station's commander, told what to do by its settings file (<trigger> and
    // <port>: the device's); "#!...": a commander of its own, "none": no commander at all.
    void installCommander(const QByteArray& settings);
    std::unique_ptr<Flashing_c> makeWorker(bool setDeviceId);
    devsim::Config deviceConfig(int index, bool plugged) const;
    int commandersRunning() const;

    std::unique_ptr<Bench> m_bench;
    std::unique_ptr<DebugCapture> m_debug;
    QString m_station;
    QString m_testFiles;
    devsim::Device* m_device = nullptr;
    Logger_c m_logger;
    std::unique_ptr<Recorder> m_recorder;
};

void TestRunTest::init()
{
    m_bench = std::make_unique<Bench>();
    m_debug = std::make_unique<DebugCapture>();
    m_station = m_bench->station();
    m_testFiles = m_station + "/TestFiles/";
    setStationDir(m_station);

    QVERIFY(writeFile(m_testFiles + "test_files.cfg", kTestList));
    QVERIFY(writeFile(m_testFiles + "nrf_app.hex", ":020000040000FA\n"));
    QVERIFY(writeFile(m_testFiles + "nrf_net.hex", ":00000001FF\n"));
    QVERIFY(writeFile(m_testFiles + "nrf_\xc3\xbc.hex", ":00000001FF\n"));
    QVERIFY(writeFile(m_testFiles + "config.txt", "mode=selftest\n"));
    QVERIFY(writeFile(m_testFiles + "selftest.bin", pattern(1000)));
    m_device = m_bench->start(deviceConfig(0, false));
    QVERIFY(m_device);
    installCommander("");
    m_recorder = std::make_unique<Recorder>();
    m_recorder->attach(m_logger);
}

void TestRunTest::cleanup()
{
    m_recorder.reset();
    m_debug.reset();
    m_bench.reset();
}

devsim::Config TestRunTest::deviceConfig(int index, bool plugged) const
{
    devsim::Config config = m_bench->config(index);
    config.pluggedAtStart = plugged;
    config.deviceId = 777;
    return config;
}

void TestRunTest::installCommander(const QByteArray& settings)
{
    const QString program = m_station + "/JLinkExe";
    QFile::remove(program);
    if (settings.startsWith("#!")) {
        QVERIFY(writeFile(program, settings));
        QVERIFY(
            QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    } else if (settings != "none") {
        // Installed under the commander's name: its settings file is the station's.
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, program));
        QByteArray text = settings;
        text.replace("<trigger>", m_device->resetTriggerPath().c_str());
        QVERIFY(writeFile(m_station + "/fake-jlink.conf",
                          text.replace("<port>", m_device->portPath().c_str())));
    }
}

// Processes still running this station's commander.
int TestRunTest::commandersRunning() const
{
    int count = 0;
    const QByteArray program = QFile::encodeName(m_station + "/TestFiles/../JLinkExe");
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        count += readAll("/proc/" + pid + "/cmdline").startsWith(program);
    return count;
}

std::unique_ptr<Flashing_c> TestRunTest::makeWorker(bool setDeviceId)
{
    auto worker =
        std::make_unique<Flashing_c>(12345678901ULL, true, "/TestFiles/", setDeviceId, &m_logger);
    m_recorder->attach(*worker);
    return worker;
}

void TestRunTest::programNrfImage_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QByteArray>("commander");
    QTest::addColumn<bool>("scriptIsFolder");
    QTest::addColumn<QStringList>("lines");      // empty when the image was programmed
    QTest::addColumn<QStringList>("output");     // for the day log; "-": not compared
    QTest::addColumn<QByteArray>("scriptAfter"); // "-" when no script file is left

    const QByteArray fake;
    const QStringList none;
    QTest::newRow("plain name") << "nrf_app.hex" << fake << false << none << kProgrammed
                                << kAppScript;
    QTest::newRow("non-ASCII name")
        << QString::fromUtf8("nrf_\xc3\xbc.hex") << fake << false << none
        << kProgrammed.mid(0, 2) +
               QStringList{QString::fromUtf8("Downloading file "
                                             "[TestFiles//nrf_\xc3\xbc.hex]...")} +
               kProgrammed.mid(3)
        << QByteArray("si SWD\nspeed auto\ndevice nRF52840_xxAA\n"
                      "loadfile \"TestFiles//nrf_\xc3\xbc.hex\"\nr\ng\nqc\n");
    QTest::newRow("empty name") << "" << fake << false << QStringList{"1nRF image writing error #1"}
                                << none << kStale;
    QTest::newRow("image missing")
        << "nrf_gone.hex" << fake << false << QStringList{"1Can't opennrf_gone.hex nRF image file"}
        << none << QByteArray("-");
    QTest::newRow("script cannot be created")
        << "nrf_app.hex" << fake << true << QStringList{"1nRF image writing error #2"} << none
        << QByteArray("-");
    // The process may not grow a file: the script is written and cut short to nothing.
    QTest::newRow("script on a full disk")
        << "nrf_app.hex" << QByteArray("disk full") << false
        << QStringList{"1nRF image writing error #3"} << none << QByteArray("");
    QTest::newRow("commander hangs")
        << "nrf_app.hex" << QByteArray("hang=1") << false
        << QStringList{"1nRF image writing error #4"} << QStringList{"-"} << kAppScript;
    QTest::newRow("commander missing")
        << "nrf_app.hex" << QByteArray("none") << false
        << QStringList{"1nRF image writing error #4",
                       "0The J-Link commander <station>/JLinkExe could not be started: the "
                       "J-Link software must be installed there or on the PATH"}
        << none << kAppScript;
    QTest::newRow("commander exits 1")
        << "nrf_app.hex" << QByteArray("# station\nexit = 1\n") << false
        << QStringList{"1nRF image writing error #5"} << kProgrammed << kAppScript;
    QTest::newRow("commander crashes")
        << "nrf_app.hex" << QByteArray("#!/bin/sh\nkill -SEGV $$\n") << false
        << QStringList{"1nRF image writing error #5"} << none << kAppScript;
    // Its last line without a line end is read all the same.
    QTest::newRow("failure line without line end")
        << "nrf_app.hex" << QByteArray("#!/bin/sh\nprintf 'Cannot connect to target.'\n") << false
        << QStringList{"1nRF image writing error #5", "0Cannot connect to target."}
        << QStringList{"Cannot connect to target."} << kAppScript;
    // The real commander's failures: a failure line, then exit 1 (for -ExitOnError 1), or 0 from
    // an older one that ignores the option.
    const QStringList downloading = kProgrammed.mid(0, 3);
    QTest::newRow("writing fails, older commander")
        << "nrf_app.hex" << QByteArray("fail=write\nold=1\n") << false
        << QStringList{"1nRF image writing error #5", "0Writing failed."}
        << downloading + QStringList{"Writing failed.", "Script processing completed."}
        << kAppScript;
    QTest::newRow("verification fails")
        << "nrf_app.hex" << QByteArray("fail=verify\n") << false
        << QStringList{"1nRF image writing error #5", "0Verification failed."}
        << downloading + QStringList{"Verification failed."} << kAppScript;
    // The other failure lines; an older commander ends with 0 after them.
    for (const char* line :
         {"Could not open file.", "ERROR: Failed to download.",
          "Error while programming flash: Programming failed.", "Unknown command. '?' for help.",
          "Connecting to J-Link via USB...FAILED: Cannot connect to J-Link."})
        QTest::newRow(line) << "nrf_app.hex"
                            << "old=1\nfail=" + QByteArray(line) << false
                            << QStringList{"1nRF image writing error #5", "0" + QString(line)}
                            << QStringList{"-"} << kAppScript;
    // Kept up to a limit, then counted; the image is programmed all the same.
    QStringList longOutput;
    for (int i = 1; i <= 1000; ++i)
        longOutput << "Output line " + QString::number(i);
    QTest::newRow("long output")
        << "nrf_app.hex" << QByteArray("lines=3000\n") << false << none
        << longOutput + QStringList{"2006 more lines of the J-Link commander's output left out"}
        << kAppScript;
    const QString piece(1024, 'x');
    QTest::newRow("over-long line")
        << "nrf_app.hex" << QByteArray("long-line=2500\n") << false << none
        << QStringList{piece, piece, QString(452, 'x')} + kProgrammed << kAppScript;
}

void TestRunTest::programNrfImage()
{
    QFETCH(QString, image);
    QFETCH(QByteArray, commander);
    QFETCH(bool, scriptIsFolder);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, output);
    QFETCH(QByteArray, scriptAfter);

    const QString script = m_testFiles + "flashing-sequence.jlink";
    QVERIFY(scriptIsFolder ? QDir().mkpath(script) : writeFile(script, kStale));
    installCommander(commander);
    auto worker = makeWorker(false);
    worker->setCommanderTimeoutMs(commander.startsWith("hang") ? 300 : 10000);

    rlimit limit;
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    if (commander == "disk full") {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit full{0, limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
    }
    const bool programmed = worker->programNrfImage(image);
    setrlimit(RLIMIT_FSIZE, &limit);
    QCOMPARE(programmed, lines.isEmpty());
    lines.replaceInStrings("<station>", m_station);
    QCOMPARE(m_recorder->log, lines);
    // The label shows the red line only.
    QCOMPARE(m_recorder->labels, withoutColours(lines.mid(0, 1)));
    if (output != QStringList{"-"})
        QCOMPARE(m_recorder->trace, output);
    // No probe serial number given: no -USB.
    const QByteArray ran = readAll(m_testFiles + "fake-jlink.log");
    QVERIFY(ran.isEmpty() || ran.startsWith("args -NoGui 1 -ExitOnError 1 -commanderscript "
                                            "TestFiles//flashing-sequence.jlink\n"));
    if (scriptAfter == "-")
        QVERIFY(!QFileInfo(script).isFile());
    else
        QCOMPARE(readAll(script), scriptAfter);
    // A commander that outlived its time was killed and reaped before the call returned.
    QCOMPARE(commandersRunning(), 0);
}

void TestRunTest::stopKillsAHangingCommander()
{
    installCommander("hang=1");
    auto worker = makeWorker(false); // the commander may take its 30 s
    // Stopped once the commander runs.
    const auto commanderStarted = [this] {
        QElapsedTimer waited;
        waited.start();
        while (!commandersRunning() && waited.elapsed() < 5000)
            QThread::msleep(5);
    };
    DelayedStop stop(*worker, commanderStarted, 0);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!worker->programNrfImage("nrf_app.hex"));
    QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(stop.stopped());
    QCOMPARE(m_recorder->log, QStringList{});
    QCOMPARE(commandersRunning(), 0);
}

void TestRunTest::testRun_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("commander");
    QTest::addColumn<bool>("deviceAtStart");
    QTest::addColumn<QString>("fault");    // "download": it fails; "echo": another ID answered
    QTest::addColumn<QStringList>("tail"); // the lines after "Applying the default file list"
    QTest::addColumn<QByteArray>("codes"); // what the device received
    QTest::addColumn<bool>("result");

    const QByteArray fake;
    const QString app = "0Flashing the nrf_app.hex image...";
    const QString appDone = "4File nrf_app.hex flashed successfully";
    const QStringList found = {
        "0Searching for the device's COM port", "4Found device connected to <port>",
        "4Firmware version is VELTORA-FW 3.2.0", "4The Device ID has been written successfully"};
    QTest::newRow("whole list") << kTestList << fake << false << ""
                                << QStringList{app, appDone, "0Flashing the nrf_net.hex image...",
                                               "4File nrf_net.hex flashed successfully"} +
                                       found +
                                       QStringList{"0Found 1 file(s) for flashing",
                                                   "0File for flashing: Updates/selftest.bin",
                                                   "0File is flashing: Updates/selftest.bin",
                                                   "4selftest.bin file was successfully downloaded",
                                                   "4Firmware downloding is complete"}
                                << QByteArray::fromHex("0c060203030408") << true;
    QTest::newRow("empty J-Link name")
        << QByteArray("j:nrf_app.hex\r\nj:\r\nj:nrf_net.hex\r\nc:config.txt\r\n") << fake << false
        << "" << QStringList{app, appDone, "1Incorrect hex file size"} << QByteArray() << false;
    QTest::newRow("image missing from the station")
        << QByteArray("j:nrf_gone.hex\r\nc:config.txt\r\n") << fake << false << ""
        << QStringList{"1<station>/TestFiles/nrf_gone.hex", "1The file from list isn't exist",
                       "1Error while getting the files list"}
        << QByteArray() << false;
    // Any failed image ends the run there; the failures themselves are programNrfImage's.
    QTest::newRow("commander exits 1")
        << kTestList << QByteArray("# station\nexit = 1\n") << false << ""
        << QStringList{app, "1nRF image writing error #5"} << QByteArray() << false;
    const QStringList programmedAndFound =
        QStringList{app, appDone} + found +
        QStringList{"0Found 0 file(s) for flashing", "4Firmware downloding is complete"};
    const QByteArray appOnly = "j:nrf_app.hex\r\n";
    // The stand-in resets the device after programming and ends once it is away, or once it
    // is back.
    const QByteArray reset = "reset-device=<trigger>\n";
    const QByteArray resetBack = reset + "reset-back=<port>\n";
    const QByteArray idAndRestart = QByteArray::fromHex("0c0608");
    QTest::newRow("no test files")
        << appOnly << fake << false << "" << programmedAndFound << idAndRestart << true;
    // The programmed device comes back under the port it had before programming, or is back
    // before the commander ends: under a port that was not there, or under the one it had.
    QTest::newRow("device restarts after programming")
        << appOnly << reset << true << "" << programmedAndFound << idAndRestart << true;
    QTest::newRow("device comes up during programming")
        << appOnly << resetBack << false << "" << programmedAndFound << idAndRestart << true;
    QTest::newRow("device restarts during programming")
        << appOnly << resetBack << true << "" << programmedAndFound << idAndRestart << true;
    // The real commander on a target it cannot reach, also one that asks first whether to unlock
    // it and reads the end of its input: the image is not programmed, the device gets nothing.
    const QStringList unreachable = {app, "1nRF image writing error #5",
                                     "0Cannot connect to target."};
    QTest::newRow("target unreachable") << kTestList << QByteArray("fail=connect\n") << false << ""
                                        << unreachable << QByteArray() << false;
    QTest::newRow("target unreachable, older commander")
        << kTestList << QByteArray("fail=connect\nold=1\n") << false << "" << unreachable
        << QByteArray() << false;
    QTest::newRow("commander asks a question") << kTestList << QByteArray("question=1\n") << false
                                               << "" << unreachable << QByteArray() << false;
    QTest::newRow("test file download fails")
        << QByteArray("c:config.txt\r\n") << fake << false << "download"
        << found + QStringList{"0Found 1 file(s) for flashing",
                               "0File for flashing: Updates/config.txt",
                               "0File is flashing: Updates/config.txt",
                               "1Can't send ESP firmware file", "1Firmware download error"}
        << QByteArray::fromHex("0c0602030408") << false;
    QTest::newRow("another ID echoed")
        << QByteArray("c:config.txt\r\n") << fake << false << "echo"
        << found.mid(0, 3) + QStringList{"1The device answered the Device ID writing with 4321 "
                                         "instead of 12345678901"}
        << QByteArray::fromHex("0c06") << false;
}

void TestRunTest::testRun()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, commander);
    QFETCH(bool, deviceAtStart);
    QFETCH(QString, fault);
    QFETCH(QStringList, tail);
    QFETCH(QByteArray, codes);
    QFETCH(bool, result);

    QVERIFY(writeFile(m_testFiles + "test_files.cfg", list));
    // A device port that is there before the search starts is never the one just programmed.
    devsim::Device* present = m_bench->start(deviceConfig(1, true));
    QVERIFY(present);
    if (fault == "echo") {
        devsim::Config config = deviceConfig(3, false);
        config.deviceIdEcho = 4321;
        m_device = m_bench->start(config);
        QVERIFY(m_device);
    }
    const bool resets = commander.startsWith("reset");
    if (resets) {
        // Away long enough for the run to see its port go while the commander still runs.
        devsim::Config config = deviceConfig(2, deviceAtStart);
        config.rebootDelayMs = 500;
        m_device = m_bench->start(config);
        QVERIFY(m_device);
    } else {
        // Plugged in once the search has listed the ports, as a freshly programmed device.
        m_debug->watch("Connecting device waiting box signal result", [this] { m_device->plug(); });
    }
    installCommander(commander);
    if (fault == "download")
        m_device->setFault(0x03, devsim::Fault{devsim::ErrorMode::NonZeroResult, 1, -1});
    auto worker = makeWorker(true);
    // Far above what the stand-in takes; a commander left waiting for an answer reaches it.
    worker->setCommanderTimeoutMs(10000);
    worker->setJLinkSerial("801012345");
    // A run that never finds its device would wait for ever.
    DelayedStop bound(*worker, {}, 10000);
    worker->runTest();
    bound.cancel();

    QStringList expected{"0Applying the default file list"};
    QByteArray programmed;
    for (QString line : tail) {
        expected
            << line.replace("<port>", m_device->portPath().c_str()).replace("<station>", m_station);
        if (line.endsWith(" image..."))
            programmed += "args -NoGui 1 -ExitOnError 1 -USB 801012345 -commanderscript "
                          "TestFiles//flashing-sequence.jlink\nok TestFiles//" +
                          line.section(' ', 2, 2).toUtf8() + "\n";
    }
    QCOMPARE(m_recorder->log, expected);
    // A line after the red one is not on the label.
    const bool afterRed = expected.size() > 1 && expected.last().startsWith('0') &&
                          expected.at(expected.size() - 2).startsWith('1');
    QCOMPARE(m_recorder->labels, withoutColours(expected.mid(0, expected.size() - afterRed)));
    QCOMPARE(m_recorder->finishes, QList<bool>{result});
    // The journal entry of the last image tried keeps that line; the day log has all it said.
    const QJsonArray images =
        QJsonDocument::fromJson(worker->takeRecord().toJsonLine())["images"].toArray();
    if (!images.isEmpty())
        QCOMPARE(images.last()["failure"],
                 afterRed ? QJsonValue(expected.last().mid(1)) : QJsonValue());
    if (afterRed)
        QVERIFY(m_recorder->trace.contains(expected.last().mid(1)));
    // The commander ran once for every image the log names, in list order.
    QCOMPARE(readAll(m_testFiles + "fake-jlink.log"), programmed);
    QCOMPARE(codesOf(*m_device), codes);
    // A completed run lets go of the port.
    QVERIFY(!result || !worker->protocol()->portOpen());
    QVERIFY(present->requests().empty());
}

void TestRunTest::retest_data()
{
    QTest::addColumn<bool>("historyOnDevice");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QByteArray>("codes");
    QTest::addColumn<bool>("result");

    const QStringList probed = {"0Searching for the device's COM port",
                                "4Found the device connected to <port>",
                                "4Firmware version isVELTORA-FW 3.2.0"};
    const QString deleted = "3Test history has been deleted successfully";
    QTest::newRow("found by the probe")
        << true << probed + QStringList{deleted} << QByteArray::fromHex("010508") << true;
    QTest::newRow("deletion refused")
        << false << probed + QStringList{"1Test history cleaning error"}
        << QByteArray::fromHex("0105") << false;
}

void TestRunTest::retest()
{
    QFETCH(bool, historyOnDevice);
    QFETCH(QStringList, lines);
    QFETCH(QByteArray, codes);
    QFETCH(bool, result);

    if (historyOnDevice)
        QVERIFY(writeFile(m_bench->fsRoot() + "/testres.bin", "previous test results"));
    m_device->plug();
    auto worker = makeWorker(true);
    worker->runRetest();

    lines.replaceInStrings("<port>", m_device->portPath().c_str());
    QCOMPARE(m_recorder->log, lines);
    // The blue success line goes to the log only; every other line also to the dialog's label.
    QCOMPARE(m_recorder->labels, withoutColours(lines.filter(QRegularExpression("^[^3]"))));
    QCOMPARE(codesOf(*m_device), codes);
    QCOMPARE(m_recorder->finishes, QList<bool>{result});
    QVERIFY(!QFile::exists(m_bench->fsRoot() + "/testres.bin"));
    QCOMPARE(worker->protocol()->portOpen(), !result);
}

QTEST_GUILESS_MAIN(TestRunTest)
#include "tst_test_run.moc"
