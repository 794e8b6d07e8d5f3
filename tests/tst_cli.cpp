#include <QProcess>
#include <QElapsedTimer>
#include <QtTest>
#include <csignal>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

// veltora-cli end to end against the simulated device: exit codes, output, records.
class tst_cli : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_bench = std::make_unique<Bench>();
        QVERIFY(m_bench->useExampleStation());
    }
    void cleanup() { m_bench.reset(); }
    void usageErrors_data();
    void usageErrors();
    void helpExitsZero();
    void productionSucceedsAndWritesRecords();
    void failedRunExitsOne();
    void terminalLinesAreColoured();
    void timeLimitStopsTheRun();
    void stopEndsTheRunCleanly_data();
    void stopEndsTheRunCleanly();
    void fetchExitCodeAndFiles_data();
    void fetchExitCodeAndFiles();

private:
    QString stationDir() const { return m_bench->station(); }
    void startDevice(bool plugged)
    {
        devsim::Config c = m_bench->config();
        c.pluggedAtStart = plugged;
        c.rebootDelayMs = 100;
        m_device = m_bench->start(c);
        QVERIFY(m_device);
    }
    void startCli(QProcess& p, const QStringList& args)
    {
        p.start(QStringLiteral(VELTORA_CLI), args);
        QVERIFY(p.waitForStarted(5000));
    }

    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
};

void tst_cli::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList() << "missing command";
    QTest::newRow("unknown command") << QStringList{"flash"} << "unknown command 'flash'";
    QTest::newRow("bad device id") << QStringList{"production", "--device-id", "12x"} << "--device-id";
    QTest::newRow("device id too large")
        << QStringList{"production", "--device-id", "18446744073709551616"} << "--device-id";
    QTest::newRow("missing value") << QStringList{"test", "--station-dir"} << "needs a value";
    QTest::newRow("unknown option") << QStringList{"retest", "--fast"} << "unknown option '--fast'";
    QTest::newRow("fetch without --to") << QStringList{"fetch", "--selector", "1", "a.bin"} << "fetch needs";
    QTest::newRow("zero time limit") << QStringList{"production", "--time-limit", "0"} << "--time-limit";
}

void tst_cli::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcess p;
    startCli(p, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 2);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QVERIFY2(err.contains(message), qPrintable(err));
}

void tst_cli::helpExitsZero()
{
    QProcess p;
    startCli(p, {"--help"});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY(out.contains("veltora-cli production|test|retest"));
    QVERIFY(out.contains("124 time limit reached"));
}

void tst_cli::productionSucceedsAndWritesRecords()
{
    devsim::Config c = m_bench->config();
    // A version text that would clear the screen and forge a line ahead of the real one.
    c.firmwareVersion = "FW\x1b[2J\r\n[OK] WiFi MAC: forged\x7f\xc2\x9b";
    m_device = m_bench->start(c);
    QVERIFY(m_device);
    QProcess p;
    // 0xFEDCBA9876543210: every byte differs, so a byte order error shows; above 2^63, so a signed
    // parse shows too.
    startCli(p,
             {"production", "--station-dir", stationDir(), "--device-id", "18364758544493064720"});
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == 0, qPrintable(out + p.readAllStandardError()));

    // Not a terminal: plain prefixes, no colour escapes.
    const QString port = QString::fromStdString(m_device->portPath());
    QVERIFY2(out.contains("Applying the default file list\n"), qPrintable(out));
    QVERIFY2(out.contains("[OK] Found device connected to " + port + "\n"), qPrintable(out));
    QVERIFY(out.contains(
        "[OK] Firmware version is FW\\x1b[2J\\x0d\\x0a[OK] WiFi MAC: forged\\x7f\\x9b\n"));
    QVERIFY(out.contains("[OK] The Device ID has been written successfully\n"));
    QVERIFY(out.contains("[OK] WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F\n"));
    QVERIFY(!out.contains('\033'));

    const std::vector<uint8_t> key = m_device->publicKey();
    QCOMPARE(int(key.size()), 64);
    const QByteArray b64 = QByteArray(reinterpret_cast<const char*>(key.data()), 64).toBase64();
    QCOMPARE(readAll(stationDir() + "/Keys/public_keys.json"),
             "{\"device_id\": 18364758544493064720, \"key\": \"" + b64 + "\"}\n");
    QCOMPARE(readAll(stationDir() + "/MAC/MACs.txt"),
             QByteArray("Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n"
                        "18364758544493064720\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n"));
    QCOMPARE(m_device->deviceId(), Q_UINT64_C(18364758544493064720));
}

void tst_cli::failedRunExitsOne()
{
    QVERIFY(QFile::remove(stationDir() + "/Production/production_files.cfg"));
    QProcess p;
    startCli(p, {"production", "--station-dir", stationDir()});
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()),
             QString("Applying the default file list\n"
                     "[E] Error while opening the list of flashing files\n"
                     "[E] Error while getting the files list\n"));
}

// On a terminal the lines carry their colour instead of a prefix (and the terminal's CR LF).
void tst_cli::terminalLinesAreColoured()
{
    startDevice(true);
    QVERIFY(writeFile(m_bench->fsRoot() + "/testres.bin", "previous results"));
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    QProcess p;
    p.setStandardOutputFile(QString::fromLocal8Bit(ptsname(master)));
    startCli(p, {"retest", "--station-dir", stationDir()});
    QVERIFY(p.waitForFinished(20000));
    QByteArray out;
    char buf[1024];
    // Once the runner has gone the buffered output reads out, then the read fails.
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
        out.append(buf, int(n));
    ::close(master);
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(out, "Searching for the device's COM port\r\n"
                  "\033[32mFound the device connected to " +
                      QByteArray::fromStdString(m_device->portPath()) +
                      "\033[0m\r\n"
                      "\033[32mFirmware version isVELTORA-FW 3.2.0\033[0m\r\n"
                      "\033[34mTest history has been deleted successfully\033[0m\r\n");
}

void tst_cli::timeLimitStopsTheRun()
{
    // The deletion would wait 60 s for its answer; the limit must not.
    startDevice(true);
    m_device->setFault(0x05, devsim::Fault{devsim::ErrorMode::NoAnswer, 0, -1});
    QProcess p;
    QElapsedTimer elapsed;
    elapsed.start();
    startCli(p, {"retest", "--station-dir", stationDir(), "--time-limit", "1"});
    QVERIFY(p.waitForFinished(20000));
    QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(p.exitCode(), 124);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY(out.endsWith("Firmware version isVELTORA-FW 3.2.0\n"));
    QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains("time limit of 1 s reached"));
}

void tst_cli::stopEndsTheRunCleanly_data()
{
    QTest::addColumn<QStringList>("args"); // "@": the bench folder
    QTest::addColumn<int>("held");         // the request the device leaves unanswered
    QTest::addColumn<bool>("closeOutput"); // else SIGINT once the held request has arrived
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("maxChunks");
    const QStringList production = {"production", "--station-dir", "@/station"};
    QTest::newRow("interrupt in the download") << production << 0x03 << false << 130 << 1;
    // The hand-off sleeps 100 ms after the stop: the message must still come once.
    QTest::newRow("interrupt in the bootloader hand-off")
        << production << 0x09 << false << 130 << 0;
    QTest::newRow("output closed") << production << 0x03 << true << 130 << 1;
    // The run ends with its restart whatever the stop: it completed, so it succeeded.
    QTest::newRow("interrupt in the last restart")
        << production + QStringList{"--no-set-device-id"} << 0x08 << false << 0 << 11;
    QTest::newRow("interrupt in a fetch")
        << QStringList{"fetch", "--selector", "1", "--to", "@", "testres.bin"} << 0x12 << false
        << 130 << 0;
}

void tst_cli::stopEndsTheRunCleanly()
{
    QFETCH(QStringList, args);
    QFETCH(int, held);
    QFETCH(bool, closeOutput);
    QFETCH(int, exitCode);
    QFETCH(int, maxChunks);
    startDevice(true);
    m_device->setBootloader(held == 0x09);
    m_device->setFault(uint8_t(held), devsim::Fault{devsim::ErrorMode::NoAnswer, 0, -1});
    QProcess p;
    QProcess head; // reads the first line and goes, as `| head -n 1` does
    if (closeOutput) {
        p.setStandardOutputProcess(&head);
        head.start("head", {"-n", "1"});
    }
    startCli(p, args.replaceInStrings("@", m_bench->path()));
    if (!closeOutput) {
        QVERIFY(m_device->waitForRequests(uint8_t(held), 1, 20000));
        ::kill(pid_t(p.processId()), SIGINT);
    }
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(p.waitForFinished(20000));
    // The held request would wait out its time-out (10 s, 30 s); the stop must not.
    QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
    head.waitForFinished(5000);
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()).count("stopping the run"), 1);

    // Nothing more was written into the device, no record of an unfinished device, and the
    // port is free again.
    QVERIFY(countOf(m_device->commandCodes(), 0x03) <= maxChunks);
    QCOMPARE(countOf(m_device->commandCodes(), 0x06), 0);
    QVERIFY(!QFile::exists(stationDir() + "/Keys/public_keys.json"));
    QVERIFY(!QFile::exists(stationDir() + "/MAC/MACs.txt"));
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(m_device->portPath())));
    link.close();
}

void tst_cli::fetchExitCodeAndFiles_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("fetched") << QStringList{"testres.bin", "logs/boot.log"} << 0
                             << "[OK] File getting is complete";
    QTest::newRow("missing on the device")
        << QStringList{"testres.bin", "missing.log"} << 1
        << "[E] Unable to open the file on the device: missing.log";
    // The device holds the name cut to 24 bytes; it must not arrive under the long name.
    QTest::newRow("name too long") << QStringList{"abcdefghijklmnopqrstuvwxyz.log"} << 1
        << "[E] The file name is too long for the device: abcdefghijklmnopqrstuvwxyz.log";
}

// A fetched file replaces the earlier copy; one that failed leaves it as it was.
void tst_cli::fetchExitCodeAndFiles()
{
    QFETCH(QStringList, names);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    startDevice(true);
    const QString to = m_bench->path() + "/fetched";
    for (const char* name : {"testres.bin", "logs/boot.log", "abcdefghijklmnopqrstuvwx"})
        QVERIFY(writeFile(m_bench->fsRoot() + "/" + name, name + QByteArray(" on the device")));
    for (const QString& name : names)
        QVERIFY(writeFile(to + "/" + name, "earlier"));

    QProcess p;
    startCli(p, QStringList{"fetch", "--selector", "1", "--to", to} + names);
    QVERIFY(p.waitForFinished(30000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == exitCode && out.endsWith(lastLine + "\n"), qPrintable(out));
    for (int i = 0; i < names.size(); ++i) {
        const bool fetched = exitCode == 0 || i < names.size() - 1;
        QCOMPARE(readAll(to + "/" + names[i]),
                 fetched ? names[i].toUtf8() + " on the device" : QByteArray("earlier"));
    }
}

QTEST_GUILESS_MAIN(tst_cli)
#include "tst_cli.moc"
