// veltora-cli doctor on a sound station and on broken ones: the lines the operator sees. The
// system's own files (udev rules, /proc) come from a made-up tree, the ports from a simulated
// device, the commander is the stand-in.
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

#include "host_check.h"
#include "port_access.h"
#include "prod_fixture.h"
#include "station_commands.h"

using namespace prodtest;

class tst_doctor : public QObject
{
    Q_OBJECT
private slots:
    void doctor_data();
    void doctor();
};

void tst_doctor::doctor_data()
{
    // What is done to the sound station, "; "-separated: rm PATH, mkdir PATH, chmod MODE PATH,
    // write PATH TEXT, env NAME VALUE, station PATH (the --station-dir), timeout MS. "@": the
    // bench, which holds station/, root/ (the system's files) and tmp/ (TMPDIR).
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("lines"); // among the lines shown; "<port>": the device's
    QTest::addColumn<QString>("verdict");
    const QString none = "Nothing stands in the way of a run";
    const QString one = "1 problem stands in the way of a run";
    QTest::newRow("sound")
        << "" // The operator's groups line depends on the account that runs the test.
        << QStringList{"[OK] Station folder @/station (given with --station-dir): ok",
                       "[OK] Production/production_files.cfg: ok, c: 4, j: 0, every listed file "
                       "there",
                       "[OK] TestFiles/test_files.cfg: ok, c: 2, j: 1, every listed file there",
                       "[OK] Keys/public_keys.json: ok",
                       "[OK] MAC/MACs.txt: ok",
                       "[OK] Logs/runs.jsonl: ok, the first run makes Logs/",
                       "[OK] J-Link commander @/station/JLinkExe (in the station folder): ok, runs "
                       "(SEGGER J-Link Commander V0.00 (veltora-fake-jlink, a stand-in))",
                       "[OK] Device port <port> (USB vendor id 2C0D): ok, this account may open it",
                       "[OK] udev rule /usr/lib/udev/rules.d/85-veltora.rules: ok",
                       "[OK] ModemManager: ok, not running",
                       "[OK] Lock folder @/tmp/veltora-ports: ok, the first run makes it"}
        << none;
    QTest::newRow("no station folder")
        << "station @/none"
        << QStringList{"[E] Station folder: station folder '@/none' does not exist; veltora-cli "
                       "init-station DIR makes one"}
        << one;
    QTest::newRow("no run folder")
        << "station @/station/Keys"
        << QStringList{"[E] Station folder @/station/Keys (given with --station-dir): holds "
                       "neither Production/ nor TestFiles/; veltora-cli init-station "
                       "@/station/Keys adds them"}
        << one;
    QTest::newRow("list missing")
        << "rm @/station/Production/production_files.cfg"
        << QStringList{"[E] Production/production_files.cfg: Error while opening the list of "
                       "flashing files; The list @/station/Production/production_files.cfg "
                       "cannot be read: it does not exist"}
        << one;
    QTest::newRow("listed image missing")
        << "rm @/station/TestFiles/nrf52840_test.hex"
        << QStringList{"[E] TestFiles/test_files.cfg: @/station/TestFiles/nrf52840_test.hex; The "
                       "file from list isn't exist"}
        << one;
    QTest::newRow("no Keys folder")
        << "rm @/station/Keys"
        << QStringList{"[E] Keys/public_keys.json: no folder @/station/Keys; create it, writable "
                       "for this account (veltora-cli init-station adds the station's missing "
                       "folders)"}
        << one;
    QTest::newRow("MAC file is a folder")
        << "mkdir @/station/MAC/MACs.txt"
        << QStringList{"[E] MAC/MACs.txt: @/station/MAC/MACs.txt cannot be appended to; make it "
                       "a regular file this account may write"}
        << one;
    QTest::newRow("Logs is a file") << "write @/station/Logs x"
                                    << QStringList{"[E] Logs/runs.jsonl: no folder @/station/Logs; "
                                                   "create it, writable for this account "
                                                   "(veltora-cli init-station adds the station's "
                                                   "missing folders)"}
                                    << one;
    const QString noCommander = "J-Link commander: not found in the station folder or on the PATH; "
                                "install the J-Link software";
    QTest::newRow("no commander, images listed")
        << "rm @/station/JLinkExe; env PATH @/bin" << QStringList{"[E] " + noCommander} << one;
    QTest::newRow("no commander, no images")
        << "rm @/station/JLinkExe; env PATH @/bin; write @/station/TestFiles/test_files.cfg "
           "c:testcfg.txt\r\n"
        << QStringList{"[W] " + noCommander + " before the station runs test runs"} << none;
    QTest::newRow("commander hangs")
        << "env VELTORA_FAKE_JLINK_HANG 1; timeout 1000"
        << QStringList{"[E] J-Link commander @/station/JLinkExe (in the station folder): did not "
                       "end within 1 s; start it by hand to see what it waits for"}
        << one;
    QTest::newRow("ModemManager, no rule")
        << "rm @/root/usr; mkdir @/root/proc/4242; write @/root/proc/4242/comm ModemManager\n"
        << QStringList{"[E] udev rule: no 85-veltora.rules in /etc/udev/rules.d or "
                       "/usr/lib/udev/rules.d; install the veltora package, or copy "
                       "packaging/linux/85-veltora.rules into /etc/udev/rules.d and run sudo "
                       "udevadm control --reload-rules && sudo udevadm trigger",
                       "[E] ModemManager: runs and probes every new serial port with AT commands, "
                       "and no udev rule keeps it away; install the rule, or stop it: sudo "
                       "systemctl disable --now ModemManager"}
        << "2 problems stand in the way of a run";
    QTest::newRow("ModemManager kept away")
        << "mkdir @/root/proc/4242; write @/root/proc/4242/comm ModemManager\n"
        << QStringList{"[OK] ModemManager: ok, runs, and the udev rule keeps it away from the "
                       "devices' ports"}
        << none;
    // /etc/udev/rules.d hides the package's rule of the same name.
    QTest::newRow("a rule that lets ModemManager in")
        << "mkdir @/root/etc/udev/rules.d; write @/root/etc/udev/rules.d/85-veltora.rules "
           "ATTRS{idVendor}==\"2c0d\", ATTRS{idVendor}==\"1915\", GROUP=\"dialout\""
        << QStringList{"[E] udev rule /etc/udev/rules.d/85-veltora.rules: does not give the ports "
                       "of both vendor ids to dialout and keep ModemManager away; replace it with "
                       "the package's"}
        << one;
    QTest::newRow("lock folder not sticky")
        << "mkdir @/tmp/veltora-ports; chmod 0777 @/tmp/veltora-ports"
        << QStringList{"[E] Lock folder @/tmp/veltora-ports: mode 0777 instead of 1777 (sticky "
                       "and open to every account), so a run's lock can be removed by another "
                       "account, or runs of some accounts cannot lock; sudo chmod 1777 "
                       "@/tmp/veltora-ports"}
        << one;
    QTest::newRow("lock folder sticky")
        << "mkdir @/tmp/veltora-ports; chmod 1777 @/tmp/veltora-ports"
        << QStringList{"[OK] Lock folder @/tmp/veltora-ports: ok, sticky and open to every "
                       "account"}
        << none;
}

void tst_doctor::doctor()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, lines);
    QFETCH(QString, verdict);
    // A station is sound only for an account that may open the devices' ports.
    if (::geteuid() != 0 && !groupMembership("dialout").now &&
        verdict == "Nothing stands in the way of a run")
        QSKIP("this account is not in the dialout group");
    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    const QString at = bench.path();
    QVERIFY(QFile::copy(VELTORA_FAKE_JLINK, at + "/station/JLinkExe"));
    QVERIFY(
        writeFile(at + "/root/usr/lib/udev/rules.d/85-veltora.rules", readAll(VELTORA_UDEV_RULE)));
    QVERIFY(QDir().mkpath(at + "/root/proc") && QDir().mkpath(at + "/tmp"));
    HostCheckSettings settings;
    settings.stationDir = at + "/station";
    settings.systemRoot = at + "/root";
    QList<QPair<QByteArray, QByteArray>> environment{{"TMPDIR", at.toLocal8Bit() + "/tmp"}};

    for (const QString& step : fault.split("; ", Qt::SkipEmptyParts)) {
        const QStringList words = QString(step).replace("@", at).split(' ');
        const QString& path = words.value(1);
        if (words[0] == "rm")
            QVERIFY(QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path));
        else if (words[0] == "mkdir")
            QVERIFY(QDir().mkpath(path));
        else if (words[0] == "chmod")
            QVERIFY(::chmod(QFile::encodeName(words[2]), mode_t(words[1].toUInt(nullptr, 8))) == 0);
        else if (words[0] == "write")
            QVERIFY(writeFile(path, words.mid(2).join(' ').toUtf8()));
        else if (words[0] == "env")
            environment.append({words[1].toLatin1(), words[2].toLocal8Bit()});
        else if (words[0] == "station")
            settings.stationDir = path;
        else if (words[0] == "timeout")
            settings.commanderTimeoutMs = path.toInt();
    }
    QList<QPair<QByteArray, QByteArray>> saved;
    for (const auto& variable : environment) {
        saved.append({variable.first, qgetenv(variable.first)});
        qputenv(variable.first, variable.second);
    }
    const QStringList shown = cli::doctorLines(checkHost(settings), cli::LineStyle::Prefix);
    for (const auto& variable : saved)
        qputenv(variable.first, variable.second);

    lines.replaceInStrings("@", at).replaceInStrings("<port>", device->portPath().c_str());
    for (const QString& line : lines)
        QVERIFY2(shown.contains(line), qPrintable(shown.join('\n')));
    QCOMPARE(shown.last(), verdict);
}

QTEST_GUILESS_MAIN(tst_doctor)
#include "tst_doctor.moc"
