#include "port_list.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

#include <QDeadlineTimer>
#include <QtTest>

using namespace prodtest;

// The simulated device through the tool's own link: the file rules that keep the tool's tests
// honest, the error modes whose effect the tool copes with unseen, and the transcript for people
// at a station. The other error modes and the restarts are met by the fault matrix and the soak.
class tst_Devsim : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;

    QString port() const { return QString::fromStdString(m_device->portPath()); }

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

private slots:
    void init()
    {
        m_bench = std::make_unique<Bench>();
        devsim::Config c = m_bench->config();
        c.deviceId = 4242;
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

    // Another command's frame comes first, on its own, then the answer.
    void wrongCodeFirst()
    {
        m_link.reset();
        SerialLine line;
        QVERIFY(line.open(port().toStdString()));
        m_device->setFault(0x0B, {devsim::ErrorMode::WrongCodeFirst, 0, 1});
        QCOMPARE(line.write(reinterpret_cast<const uint8_t*>("\x01\x00\x0b\xc0"), 4), size_t(4));
        QByteArray got;
        uint8_t buf[256];
        QDeadlineTimer deadline(3000);
        while (got.count('\xc0') < 2 && !deadline.hasExpired())
            got.append(reinterpret_cast<const char*>(buf), int(std::max(0L, line.read(buf, sizeof buf, SerialLine::kReadWindowMs))));
        QCOMPARE(got.toHex(), QByteArray("09000a0000000000000000c0" "09000b9210000000000000c0"));
    }

    // After k chunks the device goes for good: out of the listing, its port gone, until it is
    // plugged in again.
    void vanishAfterChunks()
    {
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
        m_device->clearTranscript();
        QCOMPARE(exchange(0x0B, QByteArray()), QByteArray("09000b9210000000000000"));
        const std::vector<std::string> lines{"> 01000bc0", "< 09000b9210000000000000c0"};
        QCOMPARE(m_device->transcript(), lines);
        const QByteArray file = readAll(m_bench->path() + "/transcript");
        QVERIFY(file.contains("# plugged in " + port().toUtf8() + " -> /dev/pts/"));
        QVERIFY(file.endsWith("> 01000bc0\n< 09000b9210000000000000c0\n"));
    }
};

QTEST_GUILESS_MAIN(tst_Devsim)
#include "tst_devsim.moc"
