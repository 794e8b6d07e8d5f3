// Finding the device: the ports listed (the system's and the extra-ports file), the search that
// probes and polls them, and the claim that keeps two runs off one device.
#include <QtTest>
#include <sys/stat.h>
#include <thread>

#include "device_search.h"
#include "port_claim.h"
#include "port_list.h"
#include "prod_fixture.h"
#include "system_ports.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
// "<name> <vendor id in hex> <serial number> <location>", "-" for no vendor id.
QStringList described(const QList<PortEntry>& entries)
{
    QStringList out;
    for (const PortEntry& e : entries)
        out << QString("%1 %2 %3 %4")
                   .arg(e.name, e.hasVendorId ? QString::number(e.vendorId, 16) : "-",
                        e.serialNumber, e.location)
                   .trimmed();
    return out;
}
} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT
private slots:
    void extraPorts_data();
    void extraPorts();
    void devicePorts();
#ifdef Q_OS_LINUX
    void sysfsListing();
#endif
    void search_data();
    void search();
    void stopEndsPolling();
    void heldPortPassedOver();
    void lockFolder_data();
    void lockFolder();
};

void TestDiscovery::extraPorts_data()
{
    QTest::addColumn<QString>("file"); // the file VELTORA_EXTRA_PORTS names, if not "ports"
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("entries");

    const QString ports;
    QTest::newRow("hex, decimal, file order, CR LF")
        << ports << QByteArray("/z 0x1234\r\n/a 11277\r\n/m 0X1915\r\n")
        << QStringList{"/z 1234", "/a 2c0d", "/m 1915"};
    QTest::newRow("comments and blanks")
        << ports
        << QByteArray("# bench ports\n\n   \n/dev/a 0x1915\n  # indented comment\n/dev/b 6421")
        << QStringList{"/dev/a 1915", "/dev/b 1915"};
    QTest::newRow("malformed skipped")
        << ports << QByteArray("onlyname\n/dev/a 0xZZ\n/dev/b 70000\n/dev/c -1\n/dev/d 0x2c0d\n")
        << QStringList{"/dev/d 2c0d"};
    QTest::newRow("path with blanks") << ports << QByteArray("/tmp/my bench/ttySIM0\t0x2c0d\n")
                                      << QStringList{"/tmp/my bench/ttySIM0 2c0d"};
    QTest::newRow("serial number and location")
        << ports
        << QByteArray("/tmp/a=b c 0x2c0d serial=SIM1 location=1-1.2\n/dev/b 0x1915 location=2-1 "
                      "later=1\n/dev/c serial=SIM3\n")
        << QStringList{"/tmp/a=b c 2c0d SIM1 1-1.2", "/dev/b 1915  2-1"};
    // Only a regular file of sane size is read; anything else is skipped, never waited for.
    const QByteArray full = "/dev/sim1 0x2c0d\n" + QByteArray(64 * 1024 - 17, '#');
    QTest::newRow("64 KiB") << ports << full << QStringList{"/dev/sim1 2c0d"};
    QTest::newRow("over 64 KiB") << ports << full + "#" << QStringList{};
    QTest::newRow("FIFO") << "FIFO" << full << QStringList{};
    QTest::newRow("device") << "/dev/zero" << full << QStringList{};
}

// The system's ports come first, untouched, then those of the extra-ports file in file order.
void TestDiscovery::extraPorts()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QStringList, entries);
    Bench bench;
    QVERIFY(writeFile(bench.portsFile(), content));
    if (file == "FIFO") {
        file = bench.path() + "/fifo";
        QVERIFY(mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
    }
    if (!file.isEmpty())
        qputenv("VELTORA_EXTRA_PORTS", file.toLocal8Bit());
    QCOMPARE(described(availablePortEntries()), described(systemPorts()) + entries);
}

// The device ports by vendor, in listing order, from a file read afresh at every listing: a
// device plugging in or out shows at the next one.
void TestDiscovery::devicePorts()
{
    Bench bench;
    QVERIFY(writeFile(bench.portsFile(), "/dev/sim1 0x2c0d\n"));
    QStringList ports{"stale entry"};
    listDevicePorts(ports);
    QVERIFY(ports.contains("/dev/sim1"));
    QVERIFY(writeFile(bench.portsFile(),
                      "/dev/nordic 0x1915\n/dev/other 0x0403\n/dev/dev1 0x2C0D\n/dev/dec 6421\n"
                      "/dev/wide 0x12c0d\n"));
    listDevicePorts(ports);
    QCOMPARE(ports.mid(ports.size() - 3), (QStringList{"/dev/nordic", "/dev/dev1", "/dev/dec"}));
    for (const char* gone : {"stale entry", "/dev/sim1", "/dev/other", "/dev/wide"})
        QVERIFY(!ports.contains(gone));
}

#ifdef Q_OS_LINUX
// The system's ports from a made-up sysfs: the USB device's vendor above a CDC port and a
// USB-serial port, none for a board's own UART, virtual ttys and ttys on no device left out.
void TestDiscovery::sysfsListing()
{
    QTemporaryDir dir;
    const QString sys = dir.path() + "/sys";
    const auto tty = [&](const QString& name, const QString& devicePath, const QString& above) {
        const QString node = sys + "/devices/" + devicePath + "/tty/" + name;
        QVERIFY(QDir().mkpath(node) && QDir().mkpath(sys + "/class/tty"));
        QVERIFY(QFile::link("../../devices/" + devicePath + "/tty/" + name,
                            sys + "/class/tty/" + name));
        if (!above.isNull())
            QVERIFY(QFile::link("../../../" + above, node + "/device"));
    };
    tty("ttyACM0", "pci0/usb1/1-1/1-1:1.0", "1-1:1.0");
    QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/idVendor", "2c0d\n"));
    QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-1/serial", "E66138\n"));
    tty("ttyUSB3", "pci0/usb1/1-2/1-2:1.0/ttyUSB3", "ttyUSB3");
    QVERIFY(writeFile(sys + "/devices/pci0/usb1/1-2/idVendor", "1915\n"));
    tty("ttyS0", "platform/serial8250", "serial8250");
    tty("tty1", "virtual", "virtual");
    tty("ttyGS0", "platform/gadget", QString());

    QCOMPARE(described(sysfsPorts(sys)),
             (QStringList{"ttyACM0 2c0d E66138 1-1", "ttyS0 -", "ttyUSB3 1915  1-2"}));
}
#endif

void TestDiscovery::search_data()
{
    // "probe": the listed ports, one version query each (fetch, re-test); "poll": every 50 ms
    // for a port not known (production); "list and probe": the ports known before, then poll.
    QTest::addColumn<QString>("how");
    // The device's; a "Bootloader" one: in its bootloader (", then none": no firmware version)
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("skipBootloader");
    QTest::addColumn<QStringList>("log"); // "<port>" stands for the device's port; empty: not found
    QTest::addColumn<QByteArray>("codes");

    const QString fw = "VELTORA-FW 3.2.0";
    const QString bootloader = "Bootloader 1.0.4";
    const QString searching = "0Searching for the device's COM port";
    const QString probed = "4Found the device connected to <port>";
    const QString polled = "4Found device connected to <port>";
    QTest::newRow("probe") << "probe" << fw << true
                           << QStringList{probed, "4Firmware version isVELTORA-FW 3.2.0"}
                           << QByteArray("01");
    QTest::newRow("probe, bootloader refused")
        << "probe" << bootloader << true << QStringList{} << QByteArray("01");
    QTest::newRow("probe, bootloader taken")
        << "probe" << bootloader << false
        << QStringList{probed, "4Firmware version isBootloader 1.0.4"} << QByteArray("01");
    QTest::newRow("probe, empty version") << "probe"
                                          << "" << true << QStringList{probed} << QByteArray("01");
    QTest::newRow("poll") << "poll" << fw << true
                          << QStringList{searching, polled, "4Firmware version is VELTORA-FW 3.2.0"}
                          << QByteArray("0c");
    QTest::newRow("poll, bootloader sent on")
        << "poll" << bootloader << true
        << QStringList{searching, polled, "4Firmware version is VELTORA-FW 3.2.0"}
        << QByteArray("0c090c");
    QTest::newRow("poll, bootloader sent on, no version after")
        << "poll" << bootloader + ", then none" << true << QStringList{searching, polled}
        << QByteArray("0c090c");
    QTest::newRow("list and probe")
        << "list and probe" << fw << true
        << QStringList{searching, probed, "4Firmware version isVELTORA-FW 3.2.0"}
        << QByteArray("01");
}

// The first acceptable device that answers is kept open; what the operator sees and what the
// device was sent.
void TestDiscovery::search()
{
    QFETCH(QString, how);
    QFETCH(QString, version);
    QFETCH(bool, skipBootloader);
    QFETCH(QStringList, log);
    QFETCH(QByteArray, codes);

    Bench bench;
    // Listed first: a port that opens but never answers, to be passed over.
    devsim::Device* silent = bench.start(bench.config(1));
    QVERIFY(silent);
    for (uint8_t code : {0x01, 0x0C})
        silent->setFault(code, {devsim::ErrorMode::NoAnswer, 0, -1});
    devsim::Config config = bench.config();
    config.bootloader = version.startsWith("Bootloader");
    if (!config.bootloader)
        config.firmwareVersion = version.toStdString();
    else if (version.endsWith(", then none"))
        config.firmwareVersion.clear();
    devsim::Device* device = bench.start(config);
    QVERIFY(device);

    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    cUSB_CDC_Protocol link;
    // The silent port is given up sooner.
    link.setTimeoutLimitMs(100);
    const StopToken stop;
    DeviceSearch search(link, &logger, stop);
    QStringList ports;
    listDevicePorts(ports);
    Search::Options options = Search::PollOnly;
    if (how == "list and probe")
        options = Search::ListKnownPorts | Search::ProbeKnownPorts;
    options.setFlag(Search::SkipBootloader, skipBootloader);
    const bool found = how == "probe" ? search.probe(ports, skipBootloader) : search.find(options);

    QCOMPARE(found, !log.isEmpty());
    QCOMPARE(link.portOpen(), found);
    log.replaceInStrings("<port>", QString::fromStdString(device->portPath()));
    QCOMPARE(recorder.log, log);
    QCOMPARE(recorder.labels, withoutColours(log));
    QCOMPARE(codesOf(*device).toHex(), codes);
}

// A stop from another thread ends a search with nothing to find within a poll interval.
void TestDiscovery::stopEndsPolling()
{
    Bench bench;
    Logger_c logger;
    Flashing_c worker(1, true, "/Production/", true, &logger);
    DelayedStop stopper(worker, {}, 100);
    QVERIFY(!worker.searchDevice(Search::ProbeKnownPorts));
    const qint64 afterStop = msSince(stopper.stoppedAt());
    QVERIFY2(stopper.stopped() && afterStop < 500, qPrintable(QString::number(afterStop)));
}

// Two runs, one device: the second passes the port over while the first holds it, also while the
// device restarts and its port is away, and takes it once the first has let go.
void TestDiscovery::heldPortPassedOver()
{
    Bench bench;
    DebugCapture debug;
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    const StopToken firstStop;
    cUSB_CDC_Protocol firstLink;
    auto first = std::make_unique<DeviceSearch>(firstLink, &logger, firstStop);
    // The first takes it by its probe, as production and re-test runs do.
    const QString port = QString::fromStdString(device->portPath());
    QVERIFY(first->probe({port}, true));

    StopToken secondStop;
    cUSB_CDC_Protocol secondLink;
    DeviceSearch second(secondLink, &logger, secondStop);
    std::atomic<bool> secondFound{false};
    std::thread secondRun([&] { secondFound = second.find(Search::SkipBootloader); });
    const auto endSecond = qScopeGuard([&] {
        secondStop.stop();
        secondRun.join();
    });
    const auto scans = [&] { return debug.lines().count("COM ports after found something:"); };
    QTRY_VERIFY_WITH_TIMEOUT(scans() >= 2, 5000);

    QVERIFY(!firstLink.SendReboot());
    firstLink.closeIfOpen();
    QTRY_VERIFY_WITH_TIMEOUT(device->plugCount() == 2 && device->plugged(), 5000);
    const int seenBack = scans();
    QTRY_VERIFY_WITH_TIMEOUT(secondFound || scans() >= seenBack + 2, 5000);
    QVERIFY(!secondFound);
    // Said once in the search, however often the port is passed over, and also across its
    // restart.
    const QString held = "0The port " + QString::fromStdString(device->portPath()) +
                         " is held by another run on this PC: passed over";
    QTRY_COMPARE_WITH_TIMEOUT(recorder.log.count(held), 1, 5000);
    // A probe passes it over as well.
    cUSB_CDC_Protocol thirdLink;
    QVERIFY(!DeviceSearch(thirdLink, &logger, secondStop).probe({port}, true));
    QVERIFY(first->find(Search::SkipBootloader));
    QCOMPARE(codesOf(*device), QByteArray::fromHex("01080c"));

    firstLink.closeIfOpen();
    first.reset();
    QTRY_VERIFY_WITH_TIMEOUT(secondFound, 5000);
    QCOMPARE(codesOf(*device), QByteArray::fromHex("01080c0c"));
    // Once more for the probe, a search of its own.
    QCoreApplication::processEvents();
    QCOMPARE(recorder.log.count(held), 2);
}

void TestDiscovery::lockFolder_data()
{
    QTest::addColumn<QString>("before"); // what the temporary folder holds under veltora-ports
    QTest::addColumn<int>("mode");       // the folder's mode afterwards; -1: no folder
    QTest::addColumn<QString>("line");   // the search's line about the lock; empty: none
    QTest::newRow("made") << "" << 01777 << "";
    // Made by a version that left out the sticky bit: its owner's next run mends it.
    QTest::newRow("made without the sticky bit") << "folder" << 01777 << "";
    QTest::newRow("a file in its place")
        << "file" << -1
        << "0The port <port> is not held against other runs: its lock file "
           "<tmp>/veltora-ports/<lock> cannot be made (veltora-cli doctor checks the lock folder)";
}

// The folder of port locks: open to every account and sticky, so no account removes another's
// lock; a run that cannot lock a port says so and goes on without the lock.
void TestDiscovery::lockFolder()
{
    QFETCH(QString, before);
    QFETCH(int, mode);
    QFETCH(QString, line);
    Bench bench;
    const QString tmp = bench.path() + "/tmp";
    const QString folder = tmp + "/veltora-ports";
    QVERIFY(QDir().mkpath(tmp));
    if (before == "folder")
        QVERIFY(QDir().mkpath(folder) && ::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    if (before == "file")
        QVERIFY(writeFile(folder, "x"));
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", tmp.toLocal8Bit());
    const auto restore = qScopeGuard([&] { qputenv("TMPDIR", previous); });
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);

    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    cUSB_CDC_Protocol link;
    const StopToken stop;
    DeviceSearch search(link, &logger, stop);
    QVERIFY(search.find(Search::SkipBootloader));
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(folder).constData(), &st) == 0 && S_ISDIR(st.st_mode)
                 ? int(st.st_mode & 07777)
                 : -1,
             mode);
    const QString port = QString::fromStdString(device->portPath());
    line.replace("<port>", port)
        .replace("<tmp>", tmp)
        .replace("<lock>", PortClaim::lockFileName(port));
    QCOMPARE(recorder.log.filter("lock").join('\n'), line);
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
