#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <csignal>

#include "prod_fixture.h"
#include "sim_pty.h"

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
    void usage_data();
    void usage();
    void productionWritesRecords();
    void output_data();
    void output();
    void stopEndsTheRunCleanly_data();
    void stopEndsTheRunCleanly();
    void fetch_data();
    void fetch();

private:
    QString stationDir() const { return m_bench->station(); }
    void startDevice()
    {
        devsim::Config c = m_bench->config();
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

void tst_cli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "124 time limit reached";
    QTest::newRow("no command") << QStringList() << 2 << "missing command";
    QTest::newRow("unknown command") << QStringList{"flash"} << 2 << "unknown command 'flash'";
    QTest::newRow("bad device id")
        << QStringList{"production", "--device-id", "12x"} << 2 << "--device-id";
    QTest::newRow("device id too large")
        << QStringList{"production", "--device-id", "18446744073709551616"} << 2 << "--device-id";
    QTest::newRow("missing value") << QStringList{"test", "--station-dir"} << 2 << "needs a value";
    QTest::newRow("unknown option")
        << QStringList{"retest", "--fast"} << 2 << "unknown option '--fast'";
    QTest::newRow("fetch without --to")
        << QStringList{"fetch", "--selector", "1", "a.bin"} << 2 << "fetch needs";
    QTest::newRow("zero time limit")
        << QStringList{"production", "--time-limit", "0"} << 2 << "--time-limit";
    QTest::newRow("report since no date")
        << QStringList{"report", "--since", "2024-02-30"} << 2 << "--since";
}

void tst_cli::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess p;
    startCli(p, args);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), exitCode);
    const QString text = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    QVERIFY2(text.contains(message), qPrintable(text));
}

void tst_cli::productionWritesRecords()
{
    devsim::Config c = m_bench->config();
    // A version text that would clear the screen and forge a line ahead of the real one.
    c.firmwareVersion = "FW\x1b[2J\r\n[OK] WiFi MAC: forged\x7f\xc2\x9b";
    c.deviceId = 0x0102030405060708;
    m_device = m_bench->start(c);
    QVERIFY(m_device);
    QProcess p;
    // 0xFEDCBA9876543210: every byte tells its place.
    startCli(p,
             {"production", "--station-dir", stationDir(), "--device-id", "18364758544493064720"});
    QVERIFY(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == 0, qPrintable(out + p.readAllStandardError()));

    // Not a terminal: plain prefixes, no colour escapes.
    QVERIFY2(out.contains("[OK] Firmware version is "
                          "FW\\x1b[2J\\x0d\\x0a[OK] WiFi MAC: forged\\x7f\\x9b\n"),
             qPrintable(out));
    QVERIFY(out.contains("[I] Device ID: 72623859790382856\n"));
    QVERIFY(!out.contains('\033'));

    // The Device ID as the device took it and as the records name it (their format is the
    // production suite's).
    QCOMPARE(m_device->deviceId(), Q_UINT64_C(18364758544493064720));
    QVERIFY(readAll(stationDir() + "/Keys/public_keys.json")
                .startsWith("{\"device_id\": 18364758544493064720, \"key\": \""));
    QVERIFY(readAll(stationDir() + "/MAC/MACs.txt").contains("\n18364758544493064720\t00:1A:"));

    // The run's journal line, as the report reads it.
    QProcess report;
    startCli(report, {"report", "--station-dir", stationDir(), "--json"});
    QVERIFY(report.waitForFinished(10000));
    QCOMPARE(report.exitCode(), 0);
    const QJsonObject o = QJsonDocument::fromJson(report.readAllStandardOutput()).object();
    QCOMPARE(o["device_ids"].toArray(), QJsonArray({"18364758544493064720"}));
}

void tst_cli::output_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("output");
    // The production list is gone: the run fails before its search.
    QTest::newRow("failed run") << "production" << 1
                                << QByteArray(
                                       "Applying the default file list\n"
                                       "\033[31mError while opening the list of flashing "
                                       "files\033[0m\n"
                                       "\033[31mError while getting the files list\033[0m\n");
    const QByteArray deleted = "\033[34mTest history has been deleted successfully\033[0m\n";
    QTest::newRow("re-test") << "retest" << 0
                             << "Searching for the device's COM port\n"
                                "\033[32mFound the device connected to <port>\033[0m\n"
                                "\033[32mFirmware version isVELTORA-FW 3.2.0\033[0m\n" +
                                    deleted;
    // The box is production's: a re-test sends a device in its bootloader on to its firmware.
    QTest::newRow("re-test, device in its bootloader")
        << "retest --no-skip-bootloader" << 0
        << "Searching for the device's COM port\n"
           "\033[32mFound device connected to <port>\033[0m\n"
           "\033[32mFirmware version is VELTORA-FW 3.2.0\033[0m\n" +
               deleted;
}

// The log lines on a terminal: coloured by their code.
void tst_cli::output()
{
    QFETCH(QString, mode);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, output);
    startDevice();
    m_device->setBootloader(mode.endsWith("bootloader"));
    QVERIFY(writeFile(m_bench->fsRoot() + "/testres.bin", "previous test results"));
    QVERIFY(QFile::remove(stationDir() + "/Production/production_files.cfg"));
    devsim::SimPty terminal;
    QVERIFY(terminal.open());
    QProcess p;
    p.setStandardOutputFile(QString::fromStdString(terminal.slavePath()));
    startCli(p, mode.split(' ') + QStringList{"--station-dir", stationDir()});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), exitCode);
    // The terminal passes the bytes on a moment after they were written.
    QByteArray out;
    const auto drained = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(terminal.master(), buffer, sizeof buffer)) > 0;)
            out.append(buffer, int(n));
        return out;
    };
    QTRY_COMPARE_WITH_TIMEOUT(drained(), output.replace("<port>", m_device->portPath().c_str()),
                              5000);
}

void tst_cli::stopEndsTheRunCleanly_data()
{
    QTest::addColumn<QStringList>("args"); // "@": the bench folder
    QTest::addColumn<int>("held");         // the request the device leaves unanswered
    QTest::addColumn<QString>("stop");     // how the run is stopped, as the message says
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("maxChunks");
    const QStringList production = {"production", "--station-dir", "@/station", "--device-id",
                                    "18446744073709551615"};
    const QString interrupt = "interrupted";
    QTest::newRow("interrupt in the download") << production << 0x03 << interrupt << 130 << 1;
    // The hand-off sleeps 100 ms after the stop: the message must still come once.
    QTest::newRow("interrupt in the bootloader hand-off")
        << production << 0x09 << interrupt << 130 << 0;
    // The reader goes after the first line, as `| head -n 1` does.
    QTest::newRow("output closed") << production << 0x03 << "standard output closed" << 130 << 1;
    // The run ends with its restart whatever the stop: it completed, so it succeeded.
    QTest::newRow("interrupt in the last restart")
        << production + QStringList{"--no-set-device-id"} << 0x08 << interrupt << 0 << 11;
    QTest::newRow("interrupt in a fetch")
        << QStringList{"fetch", "--station-dir", "@/station", "--selector", "1", "--to", "@",
                       "testres.bin"}
        << 0x12 << interrupt
        << 130 << 0;
    QTest::newRow("time limit in the deletion")
        << QStringList{"retest", "--station-dir", "@/station", "--time-limit", "1"} << 0x05
        << "time limit of 1 s reached" << 124 << 0;
}

void tst_cli::stopEndsTheRunCleanly()
{
    QFETCH(QStringList, args);
    QFETCH(int, held);
    QFETCH(QString, stop);
    QFETCH(int, exitCode);
    QFETCH(int, maxChunks);
    startDevice();
    m_device->setBootloader(held == 0x09);
    m_device->setFault(uint8_t(held), devsim::Fault{devsim::ErrorMode::NoAnswer, 0, -1});
    QProcess p;
    QProcess head;
    const bool closeOutput = stop == "standard output closed";
    if (closeOutput) {
        p.setStandardOutputProcess(&head);
        head.start("head", {"-n", "1"});
    }
    startCli(p, args.replaceInStrings("@", m_bench->path()));
    if (!closeOutput)
        QVERIFY(m_device->waitForRequests(uint8_t(held), 1, 20000));
    if (stop == "interrupted")
        ::kill(pid_t(p.processId()), SIGINT);
    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(p.waitForFinished(20000));
    // The held request would wait out its time-out (10 s to 60 s); the stop must not.
    QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
    head.waitForFinished(5000);
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(err.count("stopping the run"), 1);
    QVERIFY2(err.contains("veltora-cli: " + stop + ", stopping the run\n"), qPrintable(err));

    // Nothing more was written into the device, no record of an unfinished device, and the
    // port is free again.
    QVERIFY(countOf(m_device->commandCodes(), 0x03) <= maxChunks);
    QCOMPARE(countOf(m_device->commandCodes(), 0x06), 0);
    QVERIFY(!QFile::exists(stationDir() + "/Keys/public_keys.json"));
    QVERIFY(!QFile::exists(stationDir() + "/MAC/MACs.txt"));
    QVERIFY(opensAgain(m_device->portPath()));
}

void tst_cli::fetch_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("fetched") << QStringList{"testres.bin", "logs/boot.log"} << 0
                             << "[OK] File getting is complete";
    QTest::newRow("missing on the device")
        << QStringList{"testres.bin", "missing.log"} << 1
        << "[E] Unable to open the file on the device: missing.log";
}

// A fetched file replaces the earlier copy; one that failed leaves it as it was.
void tst_cli::fetch()
{
    QFETCH(QStringList, names);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);
    startDevice();
    const QString to = m_bench->path() + "/fetched";
    for (const char* name : {"testres.bin", "logs/boot.log"})
        QVERIFY(writeFile(m_bench->fsRoot() + "/" + name, name + QByteArray(" on the device")));
    for (const QString& name : names)
        QVERIFY(writeFile(to + "/" + name, "earlier"));

    QProcess p;
    startCli(p, QStringList{"fetch", "--station-dir", stationDir(), "--selector", "1", "--to", to}
                    + names);
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
