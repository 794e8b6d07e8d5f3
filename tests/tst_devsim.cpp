#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QtTest>

using namespace prodtest;

// The simulated device: the file rules that keep the tool's tests honest, the error modes and
// the USB delivery whose effect the tool copes with unseen, the transcript for people at a
// station, and veltora-devsim as a station script starts it. The other error modes and the
// restarts are met by the fault matrix and the soak.
class tst_Devsim : public QObject
{
    Q_OBJECT

    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;

    QString port() const { return QString::fromStdString(m_device->portPath()); }
    QByteArray ports() const { return readAll(m_bench->portsFile()); }

    // A device with Device ID 4242 and a transcript file, and the tool's link open on it.
    bool startDevice()
    {
        devsim::Config c = m_bench->config();
        c.deviceId = 4242;
        c.transcriptPath = (m_bench->path() + "/transcript").toStdString();
        m_device = m_bench->start(c);
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

    // Another command's frame comes first, on its own, then the answer.
    void wrongCodeFirst()
    {
        QVERIFY(startDevice());
        m_link.reset();
        SerialLine line;
        QVERIFY(line.open(port().toStdString()));
        m_device->setFault(0x0B, {devsim::ErrorMode::WrongCodeFirst, 0, 1});
        QCOMPARE(line.write(reinterpret_cast<const uint8_t*>("\x01\x00\x0b\xc0"), 4), size_t(4));
        QByteArray got;
        uint8_t buf[256];
        QDeadlineTimer deadline(3000);
        while (got.count('\xc0') < 2 && !deadline.hasExpired()) {
            const long n = line.read(buf, sizeof buf, SerialLine::kReadWindowMs);
            got.append(reinterpret_cast<const char*>(buf), int(std::max(0L, n)));
        }
        QCOMPARE(got.toHex(), QByteArray("09000a0000000000000000c0"
                                         "09000b9210000000000000c0"));
    }

    // After k chunks the device goes for good: out of the listing, its port gone, until it is
    // plugged in again.
    void vanishAfterChunks()
    {
        QVERIFY(startDevice());
        m_device->setFault(0x03, {devsim::ErrorMode::VanishAfter, 1, -1});
        m_link->setTimeoutLimitMs(300);
        const uint8_t chunk[512] = {};
        QVERIFY(!m_link->SendStartESP("Updates/x.bin", 1024));
        QVERIFY(!m_link->SendWriteESP(0, chunk, 512));
        QVERIFY(m_link->SendWriteESP(512, chunk, 512));
        QStringList ports;
        listDevicePorts(ports);
        QVERIFY(!m_device->plugged() && !ports.contains(port()) && !QFile::exists(port()));
        m_device->plug();
        m_link.reset(new cUSB_CDC_Protocol);
        QVERIFY(!m_link->open(port()));
        quint64 id = 0;
        QVERIFY(!m_link->SendGetDeviceID(id));
        QCOMPARE(id, quint64(4242));
    }

    // For people at a station: each request and response in hex, and the plug events.
    void transcript()
    {
        QVERIFY(startDevice());
        m_device->clearTranscript();
        QCOMPARE(exchange(0x0B, QByteArray()), QByteArray("09000b9210000000000000"));
        const std::vector<std::string> lines{"> 01000bc0", "< 09000b9210000000000000c0"};
        QCOMPARE(m_device->transcript(), lines);
        const QByteArray file = readAll(m_bench->path() + "/transcript");
        QVERIFY(file.contains("# plugged in " + port().toUtf8() + " -> /dev/pts/"));
        QVERIFY(file.endsWith("> 01000bc0\n< 09000b9210000000000000c0\n"));
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
        QCOMPARE(startCli(p, {"--link-name", "ttyCLI", "--vendor-id", "6421", "--usb-gap-us",
                              "200000", "--fault", "0x0b:delay:50:2"}),
                 link.toUtf8() + "\n");
        QCOMPARE(ports(), others + link.toUtf8() + " 0x1915\n");
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

    void unpluggedUntilReset()
    {
        QProcess p;
        const QString link = m_bench->path() + "/ttyLATE";
        QCOMPARE(startCli(p, {"--link-name", "ttyLATE", "--unplugged", "--reboot-delay", "10"}),
                 link.toUtf8() + "\n");
        QCOMPARE(ports(), QByteArray());
        QVERIFY(!QFileInfo::exists(link));

        QVERIFY(writeFile(link + ".reset", ""));
        QTRY_COMPARE_WITH_TIMEOUT(ports(), link.toUtf8() + " 0x2c0d\n", 5000);
        QVERIFY(!QFile::exists(link + ".reset"));
        stopCli(p);
        QCOMPARE(ports(), QByteArray());
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("help") << QStringList{"--help"} << 0;
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2;
        QTest::newRow("missing value") << QStringList{"--reboot-delay"} << 2;
        QTest::newRow("bad fault mode") << QStringList{"--fault", "3:explode"} << 2;
        QTest::newRow("bad fault code") << QStringList{"--fault", "300:no-answer"} << 2;
        QTest::newRow("bad vendor id") << QStringList{"--vendor-id", "0x12345"} << 2;
        QTest::newRow("bad mac") << QStringList{"--wifi-mac", "00:11:22"} << 2;
    }

    void badOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QProcess p;
        startCli(p, args);
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), exitCode);
    }
};

QTEST_GUILESS_MAIN(tst_Devsim)
#include "tst_devsim.moc"
