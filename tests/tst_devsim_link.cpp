#include "devsim.h"
#include "port_list.h"
#include "usb_cdc_protocol.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

// The tool's own device link against the simulated device: the command set, every error mode
// and the restart cycle as a production run goes through it.
namespace {

int openFdCount()
{
    return QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

bool onP256(const uint8_t* xy)
{
    unsigned char point[65] = {0x04};
    memcpy(point + 1, xy, 64);
    char group[] = "P-256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* pkey = nullptr;
    bool ok = ctx && EVP_PKEY_fromdata_init(ctx) == 1
              && EVP_PKEY_fromdata(ctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_PKEY_CTX* check = EVP_PKEY_CTX_new_from_pkey(nullptr, pkey, nullptr);
        ok = check && EVP_PKEY_public_check(check) == 1;
        EVP_PKEY_CTX_free(check);
    }
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

} // namespace

class tst_DevsimLink : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<devsim::Device> m_device;
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
        QVERIFY(QDir().mkpath(m_dir.filePath("fs")));
        QFile f(m_dir.filePath("fs/" + name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // Runs the operation for a command code with arguments that succeed on a healthy device.
    bool runCommand(uint8_t code)
    {
        cUSB_CDC_Protocol& link = *m_link;
        const uint8_t chunk[512] = {0xC0, 0xDB};
        uint8_t buffer[512];
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
        case 0x12: putDeviceFile("log.bin", "12345"); return link.SendStartFileRead(0, "log.bin", value);
        case 0x13:
            putDeviceFile("log.bin", QByteArray(512, 'r'));
            return link.SendStartFileRead(0, "log.bin", value) || link.SendReadFile(0, buffer, 512);
        case 0x14: putDeviceFile("log.bin", "1"); return link.SendStartFileRead(0, "log.bin", value) || link.SendEndFileRead();
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        qputenv("VELTORA_EXTRA_PORTS", m_dir.filePath("ports").toUtf8());
    }

    void init()
    {
        devsim::Config c;
        c.dir = m_dir.path().toStdString();
        c.portsFile = m_dir.filePath("ports").toStdString();
        c.fsRoot = m_dir.filePath("fs").toStdString();
        c.deviceId = 4242;
        c.rebootDelayMs = 20;
        m_device.reset(new devsim::Device(c));
        QVERIFY(m_device->start());
        m_link.reset(new cUSB_CDC_Protocol);
        QVERIFY(!m_link->open(port()));
    }

    void cleanup()
    {
        m_link.reset();
        m_device.reset();
    }

    // What the runs rely on, through the real link: the Device ID kept, the fixed-length blocks,
    // the key as the production run reads it, and a file down and up again.
    void commandSet()
    {
        cUSB_CDC_Protocol& link = *m_link;
        quint64 id = 99999999999ULL;
        QVERIFY(!link.SendSetDeviceID(id));
        QCOMPARE(id, 99999999999ULL);
        id = 0;
        QVERIFY(!link.SendGetDeviceID(id));
        QCOMPARE(id, 99999999999ULL);
        QCOMPARE(m_device->deviceId(), quint64(99999999999ULL));

        uint8_t block[200];
        QVERIFY(!link.SendGetInfoBlock(block));
        uint8_t record[24];
        QVERIFY(!link.SendGetRecord(1, 2, record));

        // Key: none yet (empty value), then created and read as the production run does.
        uint8_t key[64] = {0};
        quint16 keyLength = 64;
        QVERIFY(!link.SendGetParameter(17, key, keyLength));
        QCOMPARE(int(keyLength), 0);
        QVERIFY(!link.SendSetParameter(17, key, 1));
        keyLength = 64;
        QVERIFY(!link.SendGetParameter(17, key, keyLength));
        QCOMPARE(int(keyLength), 64);
        QVERIFY(onP256(key));
        const std::vector<uint8_t> held = m_device->publicKey();
        QVERIFY(std::equal(held.begin(), held.end(), key));

        // A file down and back up again in 512-byte chunks; its name fills the read field exactly.
        QByteArray data(1000, '\0');
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(0xC0 + i);
        QVERIFY(!link.SendStartESP("Updates/ESP_Update_c.bin", quint32(data.size())));
        QVERIFY(!link.SendWriteESP(0, reinterpret_cast<const uint8_t*>(data.constData()), 512));
        QVERIFY(!link.SendWriteESP(512, reinterpret_cast<const uint8_t*>(data.constData()) + 512, 488));
        QVERIFY(!link.SendEndESP());
        quint32 size = 0;
        QVERIFY(!link.SendStartFileRead(3, "Updates/ESP_Update_c.bin", size));
        QCOMPARE(size, 1000u);
        QByteArray back(1000, '\0');
        QVERIFY(!link.SendReadFile(0, reinterpret_cast<uint8_t*>(back.data()), 512));
        QVERIFY(!link.SendReadFile(512, reinterpret_cast<uint8_t*>(back.data()) + 512, 488));
        QVERIFY(link.SendReadFile(1000, reinterpret_cast<uint8_t*>(back.data()), 1));  // past the end
        QVERIFY(!link.SendEndFileRead());
        QCOMPARE(back, data);
        QVERIFY(link.SendStartFileRead(0, "absent.bin", size));
        QVERIFY(!link.SendDeleteESP("Updates/ESP_Update_c.bin"));
        QVERIFY(link.SendDeleteESP("Updates/ESP_Update_c.bin"));
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
        m_link.reset();
        m_device.reset();
        const int fdsBefore = openFdCount();
        init();
        devsim::Config otherConfig;
        otherConfig.dir = m_dir.path().toStdString();
        otherConfig.portsFile = m_dir.filePath("ports").toStdString();
        otherConfig.fsRoot = m_dir.filePath("fs2").toStdString();
        otherConfig.linkName = "ttyOTHER";
        devsim::Device other(otherConfig);
        QVERIFY(other.start());
        const QString otherPort = QString::fromStdString(other.portPath());
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
        other.stop();
        cleanup();
        QCOMPARE(openFdCount(), fdsBefore);
    }
};

QTEST_GUILESS_MAIN(tst_DevsimLink)
#include "tst_devsim_link.moc"
