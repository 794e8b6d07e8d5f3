#include "port_list.h"
#include "system_ports.h"

#include <QFile>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

// The extra-ports file through which simulated devices (and odd bench adapters) join the listing.
class tst_PortList : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_file;

    QStringList systemNames() const
    {
        QStringList names;
        for (const PortEntry& entry : systemPorts())
            names << entry.name;
        return names;
    }

    void writeFile(const QByteArray& content)
    {
        QFile f(m_file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(content), qint64(content.size()));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_file = m_dir.filePath("ports");
    }

    void cleanup() { qunsetenv("VELTORA_EXTRA_PORTS"); }

    void extraEntries_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QList<int>>("vendorIds");

        QTest::newRow("hex") << QByteArray("/tmp/a/ttySIM0 0x2c0d\n") << QStringList {"/tmp/a/ttySIM0"}
                             << QList<int> {0x2C0D};
        QTest::newRow("hex upper") << QByteArray("ttyX 0X1915\n") << QStringList {"ttyX"}
                                   << QList<int> {0x1915};
        QTest::newRow("decimal") << QByteArray("ttyUSB7 11277\n") << QStringList {"ttyUSB7"}
                                 << QList<int> {0x2C0D};
        QTest::newRow("comments and blanks")
            << QByteArray("# bench ports\n\n   \n/dev/a 0x1915\n  # indented comment\n/dev/b 6421")
            << QStringList {"/dev/a", "/dev/b"} << QList<int> {0x1915, 0x1915};
        QTest::newRow("malformed skipped")
            << QByteArray("onlyname\n/dev/a 0xZZ\n/dev/b 70000\n/dev/c -1\n/dev/d 0x2c0d\n")
            << QStringList {"/dev/d"} << QList<int> {0x2C0D};
        QTest::newRow("file order kept")
            << QByteArray("/z 0x1234\r\n/a 0x2c0d\r\n/m 0x1915\r\n") << QStringList {"/z", "/a", "/m"}
            << QList<int> {0x1234, 0x2C0D, 0x1915};
        QTest::newRow("path with blanks") << QByteArray("/tmp/my bench/ttySIM0\t0x2c0d\n")
                                          << QStringList {"/tmp/my bench/ttySIM0"} << QList<int> {0x2C0D};
        QTest::newRow("empty file") << QByteArray() << QStringList {} << QList<int> {};
    }

    void extraEntries()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, names);
        QFETCH(QList<int>, vendorIds);
        writeFile(content);
        qputenv("VELTORA_EXTRA_PORTS", m_file.toUtf8());

        const QStringList system = systemNames();
        const QList<PortEntry> entries = availablePortEntries();
        QCOMPARE(entries.size(), system.size() + names.size());
        // The system's ports come first, untouched, then the extra ones in file order.
        for (int i = 0; i < system.size(); ++i)
            QCOMPARE(entries.at(i).name, system.at(i));
        for (int i = 0; i < names.size(); ++i) {
            const PortEntry& e = entries.at(system.size() + i);
            QCOMPARE(e.name, names.at(i));
            QVERIFY(e.hasVendorId);
            QCOMPARE(int(e.vendorId), vendorIds.at(i));
        }
    }

    // Only a regular file of sane size is read; anything else is skipped, never waited for.
    void noUsableFile_data()
    {
        QTest::addColumn<QString>("file");  // empty: unset
        QTest::newRow("unset") << QString();
        QTest::newRow("missing file") << m_dir.filePath("no-such-file");
        QTest::newRow("FIFO") << m_dir.filePath("fifo");
        QTest::newRow("device") << "/dev/zero";
        QTest::newRow("oversize") << m_file;
    }

    void noUsableFile()
    {
        QFETCH(QString, file);
        if (file.endsWith("fifo"))
            QVERIFY(mkfifo(QFile::encodeName(file).constData(), 0600) == 0);
        writeFile("/dev/sim1 0x2c0d\n" + QByteArray(1 << 20, '#'));
        if (!file.isEmpty())
            qputenv("VELTORA_EXTRA_PORTS", file.toUtf8());
        QCOMPARE(availablePortEntries().size(), systemNames().size());
    }

    // Read afresh at every listing: a device plugging in or out shows at the next call.
    void rereadEachCall()
    {
        qputenv("VELTORA_EXTRA_PORTS", m_file.toUtf8());
        writeFile("/dev/sim1 0x2c0d\n");
        QStringList ports;
        listDevicePorts(ports);
        QVERIFY(ports.contains("/dev/sim1"));
        writeFile("/dev/sim2 0x1915\n");
        listDevicePorts(ports);
        QVERIFY(!ports.contains("/dev/sim1"));
        QVERIFY(ports.contains("/dev/sim2"));
    }

    void devicePortsByVendor()
    {
        qputenv("VELTORA_EXTRA_PORTS", m_file.toUtf8());
        writeFile("/dev/nordic 0x1915\n/dev/other 0x0403\n/dev/dev1 0x2C0D\n/dev/dec 6421\n");
        QStringList ports {"stale entry"};
        listDevicePorts(ports);
        // Any system ports of these vendors come first; the extra ones follow in file order.
        QVERIFY(ports.size() >= 3);
        QCOMPARE(ports.mid(ports.size() - 3), (QStringList {"/dev/nordic", "/dev/dev1", "/dev/dec"}));
        QVERIFY(!ports.contains("stale entry"));
        QVERIFY(!ports.contains("/dev/other"));
    }

#ifdef Q_OS_LINUX
    // The system's ports from a made-up sysfs: the USB device's vendor above a CDC port and a
    // USB-serial port, none for a board's own UART, virtual ttys and ttys on no device left out.
    void sysfsListing()
    {
        const QString sys = m_dir.filePath("sys");
        const auto tty = [&](const QString& name, const QString& devicePath, const QString& above) {
            const QString node = sys + "/devices/" + devicePath + "/tty/" + name;
            QVERIFY(QDir().mkpath(node) && QDir().mkpath(sys + "/class/tty"));
            QVERIFY(QFile::link("../../devices/" + devicePath + "/tty/" + name, sys + "/class/tty/" + name));
            if (!above.isNull())
                QVERIFY(QFile::link("../../../" + above, node + "/device"));
        };
        const auto vendor = [&](const QString& usbDevice, const QByteArray& id) {
            QFile f(sys + "/devices/" + usbDevice + "/idVendor");
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(id) == id.size());
        };
        tty("ttyACM0", "pci0/usb1/1-1/1-1:1.0", "1-1:1.0");
        vendor("pci0/usb1/1-1", "2c0d\n");
        tty("ttyUSB3", "pci0/usb1/1-2/1-2:1.0/ttyUSB3", "ttyUSB3");
        vendor("pci0/usb1/1-2", "1915\n");
        tty("ttyS0", "platform/serial8250", "serial8250");
        tty("tty1", "virtual", "virtual");
        tty("ttyGS0", "platform/gadget", QString());

        const QList<PortEntry> entries = sysfsPorts(sys);
        QStringList seen;
        for (const PortEntry& e : entries)
            seen << QString("%1 %2").arg(e.name).arg(e.hasVendorId ? QString::number(e.vendorId, 16) : "-");
        QCOMPARE(seen, (QStringList{"ttyACM0 2c0d", "ttyS0 -", "ttyUSB3 1915"}));
    }
#endif
};

QTEST_GUILESS_MAIN(tst_PortList)
#include "tst_port_list.moc"
