#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QtTest>

using namespace prodtest;

// The simulated device: the file rules that keep the tool's tests honest, and veltora-devsim as a
// station script starts it. Its error modes and restarts are met by the production rows that use
// them.
class tst_Devsim : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;

    QString port() const { return QString::fromStdString(m_device->portPath()); }
    QByteArray ports() const { return readAll(m_bench->portsFile()); }

    // A device with the tool's link open on it.
    bool startDevice()
    {
        m_device = m_bench->start(m_bench->config());
        m_link.reset(new cUSB_CDC_Protocol);
        return m_device && !m_link->open(port());
    }

    // One request with this payload; the decoded answer frame, header included, in hex.
    QByteArray exchange(uint8_t code, const QByteArray& payload)
    {
        uint8_t frame[512];
        uint32_t length = uint32_t(payload.size());
        const uint8_t* request = reinterpret_cast<const uint8_t*>(payload.constData());
        if (m_link->exchange(code, request, length, frame, sizeof frame, 1000))
            return "silent";
        return QByteArray(reinterpret_cast<const char*>(frame), int(length)).toHex();
    }

    // Starts veltora-devsim; returns the one line it prints when the device is ready.
    QByteArray startCli(QProcess& p, const QStringList& extra)
    {
        p.start(QStringLiteral(DEVSIM_PATH), QStringList{"--dir", m_bench->path()} + extra);
        QDeadlineTimer deadline(5000);
        while (!p.canReadLine() && !deadline.hasExpired() &&
               p.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return p.readLine();
    }

    void stopCli(QProcess& p)
    {
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

private slots:
    void init() { m_bench = std::make_unique<Bench>(); }

    void cleanup()
    {
        m_link.reset();
        m_bench.reset();
        m_device = nullptr;
    }

    // Chunks are checked against the announced size and offset, and nothing is written outside
    // the device's folder.
    void writeRules_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("chunk");   // offset + count + data
        QTest::addColumn<QByteArray>("results"); // of SendStartESP, SendWriteESP, SendEndESP
        const auto row = [](const char* name, const char* path, const char* offsetAndCount,
                            const char* data, const char* results) {
            QTest::newRow(name) << QByteArray(path) << QByteArray::fromHex(offsetAndCount) + data
                                << QByteArray(results);
        };
        row("parent folder", "../evil", "0000000004000000", "abcd", "050101");
        row("inner parent", "Updates/../../evil", "0000000004000000", "abcd", "050101");
        row("absolute", "/tmp/evil", "0000000004000000", "abcd", "050101");
        row("wrong offset", "a.bin", "0100000004000000", "abcd", "000204");
        row("count mismatch", "a.bin", "0000000005000000", "abcd", "000304");
        row("beyond announced size", "a.bin", "0000000009000000", "abcdefghi", "000404");
        row("complete", "a.bin", "0000000008000000", "abcdefgh", "000000");
    }

    void writeRules()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, results);
        QVERIFY(startDevice());
        QCOMPARE(exchange(0x02, QByteArray::fromHex("08000000") + path.leftJustified(32, '\0')),
                 "020002" + results.mid(0, 2));
        QCOMPARE(exchange(0x03, chunk), "020003" + results.mid(2, 2));
        QCOMPARE(exchange(0x04, QByteArray()), "020004" + results.mid(4, 2));
        QVERIFY(!QFile::exists(m_bench->path() + "/evil"));
        QVERIFY(!QFile::exists("/tmp/evil"));
    }

    // Started by hand: the ready line, its port in the listing beside the others, answers in
    // 64-byte USB packets (the first gap of seed 1 at up to 200 ms is 83 ms), and the port gone
    // again after SIGTERM.
    void plugsInAndCleansUp()
    {
        const QByteArray others = "# bench\n/dev/ttyACM9 0x1915\n";
        QVERIFY(writeFile(m_bench->portsFile(), others));
        QProcess p;
        const QString link = m_bench->path() + "/ttyCLI";
        QCOMPARE(startCli(p, {"--link-name", "ttyCLI", "--vendor-id", "6421", "--usb-serial",
                              "SIM7", "--usb-location", "3-1.4", "--usb-gap-us", "200000",
                              "--fault", "0x0b:delay:50:2"}),
                 link.toUtf8() + "\n");
        QCOMPARE(ports(), others + link.toUtf8() + " 0x1915 serial=SIM7 location=3-1.4\n");
        QVERIFY(QFileInfo(link).symLinkTarget().startsWith("/dev/pts/"));
        {
            SerialLine line;
            QVERIFY(line.open(link.toStdString()));
            QCOMPARE(line.write(reinterpret_cast<const uint8_t*>("\x01\x00\x10\xc0"), 4),
                     size_t(4));
            uint8_t buf[512];
            QCOMPARE(line.read(buf, sizeof buf, 2000), 64L);
        }
        stopCli(p);
        QCOMPARE(ports(), others);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(tst_Devsim)
#include "tst_devsim.moc"
