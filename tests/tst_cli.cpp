#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <csignal>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "prod_fixture.h"
#include "sim_pty.h"

using namespace prodtest;

namespace {

// What a terminal has passed on so far.
QByteArray drain(const devsim::SimPty& terminal)
{
    QByteArray out;
    char buffer[4096];
    for (ssize_t n; (n = ::read(terminal.master(), buffer, sizeof buffer)) > 0;)
        out.append(buffer, int(n));
    return out;
}

// The verdict's time taken, which varies, as "<t>".
QString timeless(const QByteArray& out)
{
    return QString::fromUtf8(out).replace(QRegularExpression(", \\d+\\.\\d s(\\x1b\\[0m)?\n"),
                                          ", <t> s\\1\n");
}

} // namespace

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
    void portWithoutPermission();
    void stationFolder_data();
    void stationFolder();

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

// What the command line's program itself writes: the version, a report's options taken with
// --option=value, the station folder checked before a run, and a usage error as one line and a
// hint. Parsing alone is a unit test (unit/unit_command_line.cpp).
void tst_cli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("version") << QStringList{"--version"} << 0 << "veltora-cli 2.1.6\n";
    QTest::newRow("--option=value")
        << QStringList{"report", "--station-dir=@", "--since=2024-05-06", "--json"} << 0
        << "\"since\":\"2024-05-06\"";
    QTest::newRow("no station folder")
        << QStringList{"retest", "--station-dir=@/none"} << 2 << "station folder '";
    QTest::newRow("unknown option") << QStringList{"retest", "--fast"} << 2
                                    << "veltora-cli: unknown option '--fast' for retest\n"
                                       "Try 'veltora-cli retest --help'.\n";
    // The doctor's lines and exit code; its checks are tst_doctor's.
    QTest::newRow("doctor on a folder without run folders")
        << QStringList{"doctor", "--station-dir=@/Keys"} << 1
        << "/Keys (given with --station-dir): holds neither Production/ nor TestFiles/";
}

void tst_cli::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QProcess p;
    startCli(p, args.replaceInStrings("@", stationDir()));
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), exitCode);
    const QString text = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    QVERIFY2(text.contains(message), qPrintable(text));
    // A usage error is one line and a hint.
    if (exitCode == 2)
        QVERIFY2(text.count('\n') == 2 && text.contains("\nTry 'veltora-cli"), qPrintable(text));
}

void tst_cli::productionWritesRecords()
{
    devsim::Config c = m_bench->config();
    // A version text that would clear the screen and forge a line ahead of the real one.
    c.firmwareVersion = "FW\x1b[2J\r\n[OK] WiFi MAC: forged\x7f\xc2\x9b\xc2\x9f";
    c.deviceId = 0x0102030405060708;
    m_device = m_bench->start(c);
    QVERIFY(m_device);
    // Both outputs on one terminal, as an operator has them, with colour refused.
    devsim::SimPty terminal;
    QVERIFY(terminal.open());
    QProcess p;
    p.setStandardOutputFile(QString::fromStdString(terminal.slavePath()));
    p.setStandardErrorFile(QString::fromStdString(terminal.slavePath()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("NO_COLOR", "1");
    p.setProcessEnvironment(environment);
    // 0xFEDCBA9876543210: every byte tells its place.
    startCli(p,
             {"production", "--station-dir", stationDir(), "--device-id", "18364758544493064720"});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 0);
    QByteArray bytes;
    QTRY_VERIFY_WITH_TIMEOUT(timeless(bytes += drain(terminal))
                                 .endsWith("\nPASS production, Device ID 18364758544493064720, "
                                           "<t> s\n"),
                             5000);
    const QString out = QString::fromUtf8(bytes);

    // A prefix on every line, no colour, device text escaped.
    QVERIFY2(out.startsWith("[.] Applying the default file list\n"), qPrintable(out));
    QVERIFY(out.contains("[OK] Firmware version is "
                         "FW\\x1b[2J\\x0d\\x0a[OK] WiFi MAC: forged\\x7f\\x9b\\x9f\n"));
    QVERIFY(out.contains("[I] Device ID: 72623859790382856\n"));
    QVERIFY(!out.contains("\033[3"));
    // A bar per file from its first byte to its last, none before or after, and each cleared
    // before the next line.
    QVERIFY(out.section('\r', 0, 0).endsWith("[.] File is flashing: Updates/system.bin\n"));
    QVERIFY(out.contains("\rUpdates/nRF_Update_c.bin [                    ] 0 B of 1.3 KiB\033[K"
                         "\rUpdates/nRF_Update_c.bin [#######             ] 512 B of 1.3 KiB, "));
    QVERIFY(out.contains("\rUpdates/NRF_Bootloader_c.bin [####################] 700 B of 700 B, "));
    // The rate is taken as the bar is drawn, and a busy runner may draw a file's first and last
    // report together: any unit may show.
    QVERIFY(out.contains(QRegularExpression(
        "\\rconfig\\.txt \\[#{20}\\] 20 B of 20 B, [0-9.]+ (B|KiB|MiB)/s\\x1b\\[K\\r\\x1b\\[K"
        "\\[OK\\] config\\.txt file was successfully downloaded\\n[^\\r]*$")));

    // The Device ID as the device took it and as the records name it (their format is the
    // production suite's).
    QCOMPARE(m_device->deviceId(), Q_UINT64_C(18364758544493064720));
    QVERIFY(readAll(stationDir() + "/Keys/public_keys.json")
                .startsWith("{\"device_id\": 18364758544493064720, \"key\": \""));
    QVERIFY(readAll(stationDir() + "/MAC/MACs.txt").contains("\n18364758544493064720\t00:1A:"));
}

void tst_cli::output_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("noColor"); // NO_COLOR's value; null: unset
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("noRoom"); // a file size limit of 0: no station file takes a byte
    // The production list is gone: the run fails before its search.
    QTest::newRow("failed run, NO_COLOR empty")
        << "production --device-id 7"
        << "" << 1
        << "Applying the default file list\n"
           "\033[31mError while opening the list of flashing files\033[0m\n"
           "The list <station>/Production/production_files.cfg cannot be read: it does not exist\n"
           "\033[31mError while getting the files list\033[0m\n"
           "\033[31mFAIL production, Device ID 7, <t> s\033[0m\n"
        << false;
    QTest::newRow("failed run, NO_COLOR set")
        << "production --device-id 7"
        << "1" << 1
        << "[.] Applying the default file list\n"
           "[E] Error while opening the list of flashing files\n"
           "[.] The list <station>/Production/production_files.cfg cannot be read: it does not "
           "exist\n"
           "[E] Error while getting the files list\n"
           "FAIL production, Device ID 7, <t> s\n"
        << false;
    // Past the limit a write fails as on a full disk; it must not kill the run.
    QTest::newRow("failed run, no room for the day log")
        << "production --device-id 7"
        << "1" << 1
        << "[.] Applying the default file list\n"
           "[E] Run journal writing error\n"
           "[E] Error while opening the list of flashing files\n"
           "[.] The list <station>/Production/production_files.cfg cannot be read: it does not "
           "exist\n"
           "[E] Error while getting the files list\n"
           "FAIL production, Device ID 7, <t> s\n"
        << true;
    QTest::newRow("report page past the file size limit") << "report --html @/page.html"
                                                          << "1" << 1 << "" << true;
    // A terminal is no file to rename over: the table goes into it as it is.
    QTest::newRow("report table to the terminal")
        << "report --csv /dev/stdout"
        << "1" << 0
        << "run,start_utc,station,kind,result,device_id,device_id_written,previous_device_id,"
           "step,error,stop_cause,duration_s\r\n"
           "Run journal: <station>/Logs/runs.jsonl\nPeriod: all runs\nNo runs\n"
           "Device IDs produced: 0\n"
        << false;
    const QString deleted = "\033[34mTest history has been deleted successfully\033[0m\n"
                            "\033[32mPASS retest, <t> s\033[0m\n";
    QTest::newRow("re-test") << "retest" << QString() << 0
                             << "Searching for the device's COM port\n"
                                "\033[32mFound the device connected to <port>\033[0m\n"
                                "\033[32mFirmware version isVELTORA-FW 3.2.0\033[0m\n" +
                                    deleted
                             << false;
    // The box is production's: a re-test sends a device in its bootloader on to its firmware.
    QTest::newRow("re-test, device in its bootloader")
        << "retest --no-skip-bootloader" << QString() << 0
        << "Searching for the device's COM port\n"
           "\033[32mFound device connected to <port>\033[0m\n"
           "\033[32mFirmware version is VELTORA-FW 3.2.0\033[0m\n" +
               deleted
        << false;
}

// The log lines and the verdict on a terminal: coloured by their code unless NO_COLOR says not.
void tst_cli::output()
{
    QFETCH(QString, mode);
    QFETCH(QString, noColor);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, noRoom);
    startDevice();
    m_device->setBootloader(mode.endsWith("bootloader"));
    QVERIFY(writeFile(m_bench->fsRoot() + "/testres.bin", "previous test results"));
    QVERIFY(QFile::remove(stationDir() + "/Production/production_files.cfg"));
    devsim::SimPty terminal;
    QVERIFY(terminal.open());
    QProcess p;
    p.setStandardOutputFile(QString::fromStdString(terminal.slavePath()));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("NO_COLOR");
    if (!noColor.isNull())
        environment.insert("NO_COLOR", noColor);
    p.setProcessEnvironment(environment);
    // The program inherits the limit; the test lifts it again once the program runs.
    rlimit limit{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    if (noRoom) {
        const rlimit none{0, limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &none) == 0);
    }
    startCli(p, mode.split(' ').replaceInStrings("@", stationDir()) +
                    QStringList{"--station-dir", stationDir()});
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), exitCode);
    // The terminal passes the bytes on a moment after they were written.
    QByteArray out;
    QTRY_COMPARE_WITH_TIMEOUT(
        timeless(out += drain(terminal)),
        output.replace("<port>", m_device->portPath().c_str()).replace("<station>", stationDir()),
        5000);
}

void tst_cli::stopEndsTheRunCleanly_data()
{
    QTest::addColumn<QStringList>("args"); // "@": the bench folder
    QTest::addColumn<int>("held");         // the request the device leaves unanswered
    QTest::addColumn<QString>("stop");     // how the run is stopped, as the message says
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("maxChunks");
    QTest::addColumn<QString>("verdict"); // without the time taken
    const QStringList production = {"production", "--station-dir", "@/station"};
    const QStringList withId = production + QStringList{"--device-id", "18446744073709551615"};
    const QString interrupt = "interrupted";
    const QString stopped = "STOPPED production, Device ID 18446744073709551615";
    QTest::newRow("interrupt in the download")
        << withId << 0x03 << interrupt << 130 << 1 << stopped;
    // The hand-off sleeps 100 ms after the stop: the message must still come once.
    QTest::newRow("interrupt in the bootloader hand-off")
        << withId << 0x09 << interrupt << 130 << 0 << stopped;
    // The reader goes after the first line, as `| head -n 1` does.
    QTest::newRow("output closed")
        << withId << 0x03 << "standard output closed" << 130 << 1 << QString();
    // The run ends with its restart whatever the stop: it completed, so it succeeded.
    QTest::newRow("interrupt in the last restart")
        << production + QStringList{"--no-set-device-id"} << 0x08 << interrupt << 0 << 11
        << "PASS production";
    QTest::newRow("interrupt in a fetch")
        << QStringList{"fetch", "--station-dir", "@/station", "--selector",
                       "1",     "--to",          "@",         "testres.bin"}
        << 0x12 << interrupt << 130 << 0 << "STOPPED fetch";
    QTest::newRow("time limit in the deletion")
        << QStringList{"retest", "--station-dir", "@/station", "--time-limit", "1"} << 0x05
        << "time limit of 1 s reached" << 124 << 0 << "STOPPED retest";
}

void tst_cli::stopEndsTheRunCleanly()
{
    QFETCH(QStringList, args);
    QFETCH(int, held);
    QFETCH(QString, stop);
    QFETCH(int, exitCode);
    QFETCH(int, maxChunks);
    QFETCH(QString, verdict);
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
    const QString out = timeless(p.readAllStandardOutput());
    QVERIFY2(closeOutput || out.endsWith("\n" + verdict + ", <t> s\n"), qPrintable(out));
    // The journal tells a time limit from the other stops.
    const QList<QByteArray> journal = readAll(stationDir() + "/Logs/runs.jsonl").split('\n');
    QCOMPARE(QJsonDocument::fromJson(journal.value(journal.size() - 2))["stop_cause"].toString(),
             exitCode == 124   ? "time limit"
             : exitCode == 130 ? "stop"
                               : "");
    // Only a run that writes the Device ID names one.
    QCOMPARE(QJsonDocument::fromJson(journal.value(journal.size() - 2))["device_id"].isNull(),
             !args.contains("--device-id"));

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
    QTest::addColumn<QString>("lastLine"); // and the verdict without its time
    QTest::newRow("fetched") << QStringList{"testres.bin", "logs/boot.log"} << 0
                             << "[OK] File getting is complete\nPASS fetch";
    QTest::newRow("missing on the device")
        << QStringList{"testres.bin", "missing.log"} << 1
        << "[E] Unable to open the file on the device: missing.log\nFAIL fetch";
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
    devsim::SimPty terminal; // standard error: the progress bar
    QVERIFY(terminal.open());
    p.setStandardErrorFile(QString::fromStdString(terminal.slavePath()));
    startCli(p, QStringList{"fetch", "--station-dir", stationDir(), "--selector", "1", "--to", to} +
                    names);
    QVERIFY(p.waitForFinished(30000));
    const QString out = timeless(p.readAllStandardOutput());
    QVERIFY2(p.exitCode() == exitCode && out.endsWith(lastLine + ", <t> s\n"), qPrintable(out));
    QByteArray bar;
    QTRY_VERIFY_WITH_TIMEOUT((bar += drain(terminal))
                                 .startsWith("\rtestres.bin [          "
                                             "          ] 0 B of 25 B\033[K"
                                             "\rtestres.bin [#####"),
                             5000);
    for (int i = 0; i < names.size(); ++i) {
        const bool fetched = exitCode == 0 || i < names.size() - 1;
        QCOMPARE(readAll(to + "/" + names[i]),
                 fetched ? names[i].toUtf8() + " on the device" : QByteArray("earlier"));
    }
}

// A port this account may not open, refused by the kernel itself: as root, whom no permission
// stops, the run is started as nobody, with the port given to root:dialout as the package's udev
// rule does; otherwise the port's mode is cleared. The search names the port, the reason and
// what to do once, however often it polls, and goes on searching.
void tst_cli::portWithoutPermission()
{
    startDevice();
    const QByteArray slave =
        QFile::encodeName(QFileInfo(m_device->portPath().c_str()).canonicalFilePath());
    const bool root = ::geteuid() == 0;
    QStringList command{VELTORA_CLI};
    if (root) {
        const group* dialout = getgrnam("dialout");
        QVERIFY(dialout);
        QVERIFY(::chown(slave.constData(), 0, dialout->gr_gid) == 0);
        QVERIFY(::chmod(slave.constData(), 0660) == 0);
        // What the run reads and writes, open to nobody.
        for (const QString& path : {m_bench->path(), stationDir(), stationDir() + "/Logs"})
            QVERIFY(QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), 0777) == 0);
        command =
            QStringList{"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"} + command;
    } else {
        QVERIFY(::chmod(slave.constData(), 0) == 0);
    }
    QProcess p;
    p.start(command.first(),
            command.mid(1) + QStringList{"production", "--station-dir", stationDir(),
                                         "--no-set-device-id", "--time-limit", "1"});
    QVERIFY(p.waitForFinished(20000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 124);
    const QString line = "[.] The port " + QString::fromStdString(m_device->portPath()) +
                         " cannot be opened: permission denied; ";
    QCOMPARE(out.count(line), 1);
    if (root)
        QVERIFY2(out.contains(line + "add the operator to the dialout group: sudo usermod -aG "
                                     "dialout nobody, then log out and in again\n"),
                 qPrintable(out));
    QVERIFY(m_device->commandCodes().empty());
}

void tst_cli::stationFolder_data()
{
    // "station": a copy of the program in the station ("test station": in a folder with
    // TestFiles/ alone); "small disk": Keys/ on a disk of 64 KiB;
    // "probe": the station's commander logs its arguments
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("environment"); // VELTORA_STATION_DIR; null: unset
    QTest::addColumn<QStringList>("args");    // "@": the bench folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString build;
    const QString unset;
    const QString journal = "Run journal: @/station/Logs/runs.jsonl\n";
    QTest::newRow("named by VELTORA_STATION_DIR")
        << build << "@/station" << QStringList{"report"} << 0 << journal;
    // The Windows layout: the program's own folder holds Production/ and comes first.
    QTest::newRow("the program's own folder") << "station"
                                              << "@" << QStringList{"report"} << 0 << journal;
    // A test bench's folder holds TestFiles/ alone.
    QTest::newRow("the program's own folder, TestFiles/ alone")
        << "test station"
        << "@" << QStringList{"report"} << 0 << "Run journal: @/test/Logs/runs.jsonl\n";
    QTest::newRow("none")
        << build << unset << QStringList{"retest"} << 2
        << "veltora-cli: no station folder: the program's folder " + QFileInfo(VELTORA_CLI).path() +
               " holds no Production/ or TestFiles/ and VELTORA_STATION_DIR is not set; give "
               "--station-dir DIR or set VELTORA_STATION_DIR\n"
               "Create a station folder with 'veltora-cli init-station DIR'.\n";
    QTest::newRow("VELTORA_STATION_DIR names no folder")
        << build << "@/none" << QStringList{"fetch", "--selector=1", "--to=@", "a"} << 2
        << "veltora-cli: VELTORA_STATION_DIR names no folder: '@/none'\n";
    QTest::newRow("init-station")
        << build << unset << QStringList{"init-station", "@/new"} << 0
        << "Created @/new/\nCreated @/new/Keys/\nCreated @/new/MAC/\nCreated @/new/Production/\n";
    // A station that is set up keeps its files.
    QTest::newRow("init-station over a station")
        << build << unset << QStringList{"init-station", "@/station"} << 0
        << "Kept as it was: @/station/Production/production_files.cfg\n";
    QTest::newRow("production on a disk about to fail")
        << "small disk" << unset
        << QStringList{"production", "--station-dir", "@/station", "--device-id", "5"} << 1
        << "[E] Public keys file opening error: no room on the disk of @/station/Keys\n";
    QTest::newRow("doctor on a disk about to fail")
        << "small disk" << unset << QStringList{"doctor", "--station-dir", "@/station"} << 1
        << "Keys/public_keys.json: less than 1 MiB free on the disk of @/station/Keys; free some "
           "space";
    QTest::newRow("test through a named probe")
        << "probe" << unset
        << QStringList{"test", "--station-dir",  "@/station", "--no-set-device-id", "--time-limit",
                       "1",    "--jlink-serial", "801012345"}
        << 124 << "-ExitOnError 1 -USB 801012345 -commanderscript";
    QTest::newRow("init-station into a file")
        << build << unset << QStringList{"init-station", "@/station/Production/config.txt"} << 1
        << "veltora-cli: @/station/Production/config.txt is there and is no folder\n";
}

// Where the station folder comes from without --station-dir, and init-station's copy.
void tst_cli::stationFolder()
{
    QFETCH(QString, program);
    QFETCH(QString, environment);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString bench = m_bench->path();
    const QByteArray list = "c:config.txt\r\n";
    QVERIFY(writeFile(stationDir() + "/Production/production_files.cfg", list));
    QString cli = VELTORA_CLI;
    QStringList before;
    if (program.endsWith("station")) {
        const QString folder = program == "station" ? stationDir() : bench + "/test";
        cli = folder + "/veltora-cli";
        QVERIFY(QDir().mkpath(folder + "/TestFiles") && QFile::copy(VELTORA_CLI, cli));
    } else if (program == "small disk") {
        // A tmpfs of its own in a mount namespace of its own, as any account may have it.
        const QString mount = "mount -t tmpfs -o size=64k tmpfs \"$0/Keys\" && exec \"$@\"";
        before = QStringList{"--mount", "--map-root-user", "sh", "-c", mount, stationDir(), cli};
        cli = "unshare";
    } else if (program == "probe") {
        QVERIFY(QFile::link(VELTORA_FAKE_JLINK, stationDir() + "/JLinkExe"));
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VELTORA_STATION_DIR");
    if (!environment.isNull())
        env.insert("VELTORA_STATION_DIR", environment.replace("@", bench));
    p.setProcessEnvironment(env);
    p.start(cli, before + args.replaceInStrings("@", bench));
    QVERIFY(p.waitForFinished(10000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError() +
                                          readAll(stationDir() + "/TestFiles/fake-jlink.log"));
    if (out.startsWith("unshare: "))
        QSKIP("no mount namespace for this account");
    QVERIFY2(p.exitCode() == exitCode && out.contains(message.replace("@", bench)),
             qPrintable(out));
    // Nothing there is overwritten; a new station gets the skeleton's files as they are.
    QCOMPARE(readAll(stationDir() + "/Production/production_files.cfg"), list);
    if (args.contains(bench + "/new")) {
        for (const char* file : {"Production/production_files.cfg", "TestFiles/test_files.cfg",
                                 "TestFiles/nrf52840_test.hex"})
            QCOMPARE(readAll(bench + "/new/" + file),
                     readAll(QStringLiteral(PROD_EXAMPLE_STATION "/") + file));
        QVERIFY(QFileInfo(bench + "/new/MAC").isDir() &&
                !QFile::exists(bench + "/new/MAC/.gitkeep"));
    }
}

QTEST_GUILESS_MAIN(tst_cli)
#include "tst_cli.moc"
