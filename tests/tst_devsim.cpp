#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QtTest>

using namespace prodtest;

// The simulated device through the tool's own link: the file rules that keep the tool's tests
// honest, every error mode, and restart after restart as a production run goes through them.
class tst_Devsim : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;

    QString port() const { return QString::fromStdString(m_device->portPath()); }

    bool listed() const
    {
        QStringList ports;
        listDevicePorts(ports);
        return ports.contains(port());
    }

    void putDeviceFile(const QString& name, const QByteArray& bytes)
    {
        QVERIFY(writeFile(m_bench->fsRoot() + "/" + name, bytes));
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

    // Runs the operation for a command code with arguments that succeed on a healthy device.
    bool runCommand(uint8_t code)
    {
        cUSB_CDC_Protocol& link = *m_link;
        const uint8_t chunk[512] = {0xC0, 0xDB};
        uint8_t buffer[512] = {};
        QString text;
        quint64 id = 77;
        quint32 value = 0;
        switch (code) {
        case 0x01: return link.SendGetVersion(text);
        case 0x02: return link.SendStartESP("Updates/x.bin", 1024);
        case 0x03: return link.SendStartESP("Updates/x.bin", 1024) || link.SendWriteESP(0, chunk, 512)
                          || link.SendWriteESP(512, chunk, 512);
        case 0x04: return link.SendStartESP("Updates/x.bin", 0) || link.SendEndESP();
        case 0x05: putDeviceFile("testres.bin", "history"); return link.SendDeleteESP("testres.bin");
        case 0x06: return link.SendSetDeviceID(id) || id != 77;
        case 0x08: return link.SendReboot();
        case 0x0A: return link.SendGetMACs(buffer, buffer + 6);
        case 0x0B: return link.SendGetDeviceID(id) || id != 4242;
        case 0x0F: return link.SendSetParameter(17, buffer, 1);
        case 0x10: return link.SendGetInfoBlock(buffer);
        case 0x11: return link.SendGetRecord(1, 2, buffer);
        case 0x12: putDeviceFile("log.bin", "12345"); return link.SendStartFileRead(0, "log.bin", value);
        case 0x13:
            putDeviceFile("log.bin", QByteArray(512, 'r'));
            return link.SendStartFileRead(0, "log.bin", value) || link.SendReadFile(0, buffer, 512);
        case 0x14:
            putDeviceFile("log.bin", "1");
            return link.SendStartFileRead(0, "log.bin", value) || link.SendEndFileRead();
        }
        return true;
    }

private slots:
    void init()
    {
        m_bench = std::make_unique<Bench>();
        devsim::Config c = m_bench->config();
        c.deviceId = 4242;
        c.rebootDelayMs = 20;
        c.transcriptPath = (m_bench->path() + "/transcript").toStdString();
        m_device = m_bench->start(c);
        QVERIFY(m_device);
        m_link.reset(new cUSB_CDC_Protocol);
        QVERIFY(!m_link->open(port()));
    }

    void cleanup()
    {
        m_link.reset();
        m_bench.reset();
    }

    // Chunks are checked against the announced size and offset, and nothing is written outside
    // the device's folder.
    void writeRules_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("chunk");  // offset + count + data
        QTest::addColumn<QByteArray>("results");  // of SendStartESP, SendWriteESP, SendEndESP
        const QByteArray four = QByteArray::fromHex("00000000" "04000000") + "abcd";
        QTest::newRow("parent folder") << QByteArray("../evil") << four << QByteArray("050101");
        QTest::newRow("inner parent") << QByteArray("Updates/../../evil") << four << QByteArray("050101");
        QTest::newRow("absolute") << QByteArray("/tmp/evil") << four << QByteArray("050101");
        const auto chunk = [](const char* header, const char* data) {
            return QByteArray::fromHex(header) + data;
        };
        QTest::newRow("wrong offset") << QByteArray("a.bin") << chunk("0100000004000000", "abcd")
                                      << QByteArray("000204");
        QTest::newRow("count mismatch") << QByteArray("a.bin") << chunk("0000000005000000", "abcd")
                                        << QByteArray("000304");
        QTest::newRow("beyond announced size") << QByteArray("a.bin") << chunk("0000000009000000", "abcdefghi")
                                               << QByteArray("000404");
        QTest::newRow("complete") << QByteArray("a.bin") << chunk("0000000008000000", "abcdefgh")
                                  << QByteArray("000000");
    }

    void writeRules()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, results);
        QCOMPARE(exchange(0x02, QByteArray::fromHex("08000000") + path.leftJustified(32, '\0')),
                 "020002" + results.mid(0, 2));
        QCOMPARE(exchange(0x03, chunk), "020003" + results.mid(2, 2));
        QCOMPARE(exchange(0x04, QByteArray()), "020004" + results.mid(4, 2));
        QVERIFY(!QFile::exists(m_bench->path() + "/evil"));
        QVERIFY(!QFile::exists("/tmp/evil"));
    }

    // For people at a station: each request and response in hex, and the plug events.
    void transcript()
    {
        m_device->clearTranscript();
        QCOMPARE(exchange(0x0B, QByteArray()), QByteArray("09000b9210000000000000"));
        const std::vector<std::string> lines{"> 01000bc0", "< 09000b9210000000000000c0"};
        QCOMPARE(m_device->transcript(), lines);
        const QByteArray file = readAll(m_bench->path() + "/transcript");
        QVERIFY(file.contains("# plugged in " + port().toUtf8() + " -> /dev/pts/"));
        QVERIFY(file.endsWith("> 01000bc0\n< 09000b9210000000000000c0\n"));
    }

    // Each error mode on the commands that meet it; the link fails (or copes) as it defines and
    // never waits past the command's time-out.
    void errorModes_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("param");
        QTest::addColumn<bool>("fails");
        QTest::addColumn<int>("timeoutMs");  // the command's own time-out, capped at 1500 here
        using M = devsim::ErrorMode;
        const int none = int(M::None);
        QTest::newRow("healthy WriteESP") << 0x03 << none << 0 << false << 1500;
        QTest::newRow("healthy GetInfoBlock") << 0x10 << none << 0 << false << 1000;
        QTest::newRow("healthy GetRecord") << 0x11 << none << 0 << false << 1000;
        QTest::newRow("GetVersion no answer") << 0x01 << int(M::NoAnswer) << 0 << true << 300;
        QTest::newRow("GetDeviceID no answer") << 0x0B << int(M::NoAnswer) << 0 << true << 1000;
        QTest::newRow("Reboot no answer") << 0x08 << int(M::NoAnswer) << 0 << true << 1000;
        QTest::newRow("SetParameter no answer") << 0x0F << int(M::NoAnswer) << 0 << true << 1000;
        QTest::newRow("StartESP non-zero") << 0x02 << int(M::NonZeroResult) << 3 << true << 1500;
        QTest::newRow("WriteESP non-zero") << 0x03 << int(M::NonZeroResult) << 1 << true << 1500;
        QTest::newRow("EndESP non-zero") << 0x04 << int(M::NonZeroResult) << 4 << true << 1000;
        QTest::newRow("DeleteESP non-zero") << 0x05 << int(M::NonZeroResult) << 1 << true << 1500;
        QTest::newRow("EndFileRead non-zero") << 0x14 << int(M::NonZeroResult) << 1 << true << 1000;
        QTest::newRow("ReadFile non-zero") << 0x13 << int(M::NonZeroResult) << 1 << true << 1500;
        QTest::newRow("SetDeviceID wrong code first") << 0x06 << int(M::WrongCodeFirst) << 0 << false << 1000;
        QTest::newRow("WriteESP wrong code first") << 0x03 << int(M::WrongCodeFirst) << 0 << false << 1500;
        // One read, one frame from its first byte: garbage in front spoils the frame.
        QTest::newRow("GetMACs garbage first") << 0x0A << int(M::GarbageFirst) << 0 << true << 1000;
        // A frame cut across reads is not reassembled.
        QTest::newRow("GetDeviceID split") << 0x0B << int(M::SplitResponse) << 30 << true << 1000;
        QTest::newRow("GetVersion oversize") << 0x01 << int(M::OversizeFrame) << 0 << true << 300;
        QTest::newRow("ReadFile oversize") << 0x13 << int(M::OversizeFrame) << 0 << true << 1500;
        QTest::newRow("GetDeviceID delay within") << 0x0B << int(M::Delay) << 200 << false << 1000;
        QTest::newRow("GetVersion delay beyond") << 0x01 << int(M::Delay) << 500 << true << 300;
        QTest::newRow("WriteESP vanish after 1") << 0x03 << int(M::VanishAfter) << 1 << true << 1500;
    }

    void errorModes()
    {
        QFETCH(int, code);
        QFETCH(int, mode);
        QFETCH(int, param);
        QFETCH(bool, fails);
        QFETCH(int, timeoutMs);
        m_link->setTimeoutLimitMs(1500);
        m_device->setFault(uint8_t(code), devsim::Fault {devsim::ErrorMode(mode), param, -1});
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(runCommand(uint8_t(code)), fails);
        const qint64 elapsed = timer.elapsed();
        QVERIFY2(elapsed < timeoutMs + 700, QByteArray::number(elapsed));
        if (mode == int(devsim::ErrorMode::Delay) && !fails)
            QVERIFY(elapsed >= param);
        if (mode == int(devsim::ErrorMode::VanishAfter)) {
            // Gone for good, until plugged in again; then it answers.
            QVERIFY(!m_device->plugged());
            QVERIFY(!listed());
            QVERIFY(!QFile::exists(port()));
            m_device->plug();
            m_link.reset(new cUSB_CDC_Protocol);
            QVERIFY(!m_link->open(port()));
            QVERIFY(!runCommand(0x0B));
        }
    }

    // Restart after restart the way a production run waits for its device: the port leaves the
    // listing, comes back, opens and answers; the Device ID stays; nothing leaks; a second device
    // sharing the ports file keeps its line.
    void rebootCycles()
    {
        cleanup();
        const auto openFds = [] {
            return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
        };
        const int fdsBefore = openFds();
        init();
        devsim::Device* other = m_bench->start(m_bench->config(1));
        QVERIFY(other);
        const QString otherPort = QString::fromStdString(other->portPath());
        for (int cycle = 0; cycle < 200; ++cycle) {
            QVERIFY(!m_link->SendReboot());
            m_link->closeIfOpen();
            // The device is away for only 20 ms, so a slow listing may miss it; then it must at
            // least have plugged in anew.
            QDeadlineTimer deadline(5000);
            bool left = false;
            while (!left && !deadline.hasExpired()) {
                left = !listed();
                QThread::usleep(500);
            }
            QVERIFY2(left || m_device->plugCount() == cycle + 2, "the port never left");
            while (!(listed() && !m_link->open(port())) && !deadline.hasExpired())
                QThread::usleep(500);
            QVERIFY(m_link->portOpen());
            quint64 id = 0;
            QVERIFY(!m_link->SendGetDeviceID(id));
            QCOMPARE(id, quint64(4242));
            QStringList ports;
            listDevicePorts(ports);
            QVERIFY(ports.contains(otherPort));
        }
        QCOMPARE(m_device->rebootCount(), 200);
        QCOMPARE(m_device->plugCount(), 201);
        cleanup();
        QCOMPARE(openFds(), fdsBefore);
    }
};

QTEST_GUILESS_MAIN(tst_Devsim)
#include "tst_devsim.moc"
