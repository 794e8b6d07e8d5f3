#include "devsim.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

// The simulated device seen from the line: exact bytes in, exact bytes out.
namespace {

// A bare serial client: what a terminal program would do, no framing logic of the tool.
class RawPort
{
public:
    ~RawPort() { close(); }
    bool open(const QString& path)
    {
        close();
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0)
            return false;
        termios tio {};
        tcgetattr(m_fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(m_fd, TCSANOW, &tio);
        return true;
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void send(const QByteArray& bytes) { QCOMPARE(::write(m_fd, bytes.constData(), bytes.size()), ssize_t(bytes.size())); }
    // Everything up to and including the END byte that ends the count-th frame, or what came
    // before the time-out. hungUp tells whether the line went away.
    QByteArray receive(int frames = 1, int timeoutMs = 2000, bool* hungUp = nullptr)
    {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        while (got.count('\xc0') < frames && !deadline.hasExpired()) {
            pollfd pfd {m_fd, POLLIN, 0};
            ::poll(&pfd, 1, int(qMax<qint64>(1, deadline.remainingTime())));
            char buf[4096];
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                got.append(buf, int(n));
            } else if ((n == 0 || (n < 0 && errno != EAGAIN)) && (pfd.revents & (POLLHUP | POLLERR))) {
                if (hungUp)
                    *hungUp = true;
                break;
            }
        }
        return got;
    }
    QByteArray exchange(const QByteArray& request, int frames = 1, int timeoutMs = 2000)
    {
        send(request);
        return receive(frames, timeoutMs);
    }

private:
    int m_fd = -1;
};

QByteArray slip(const QByteArray& frame)
{
    QByteArray out;
    for (char c : frame) {
        if (c == '\xc0')
            out += "\xdb\xdc";
        else if (c == '\xdb')
            out += "\xdb\xdd";
        else
            out += c;
    }
    return out + '\xc0';
}

// One frame as it goes on the line, in either direction.
QByteArray request(quint8 command, const QByteArray& payload = QByteArray())
{
    QByteArray frame;
    const int length = payload.size() + 1;
    frame.append(char(length & 0xFF)).append(char(length >> 8)).append(char(command)).append(payload);
    return slip(frame);
}

QByteArray le32(quint32 v)
{
    QByteArray b;
    for (int i = 0; i < 4; ++i)
        b.append(char(v >> (8 * i)));
    return b;
}

QByteArray nameField(const QByteArray& name, int width)
{
    return name.leftJustified(width, '\0', true);
}

} // namespace

class tst_Devsim : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<devsim::Device> m_device;
    RawPort m_port;

    devsim::Config config(const char* linkName = "ttySIM0") const
    {
        devsim::Config c;
        c.dir = m_dir.path().toStdString();
        c.portsFile = m_dir.filePath("ports").toStdString();
        c.fsRoot = m_dir.filePath("fs").toStdString();
        c.linkName = linkName;
        c.deviceId = 4242;
        c.rebootDelayMs = 20;
        c.transcriptPath = m_dir.filePath(QString("%1.transcript").arg(linkName)).toStdString();
        return c;
    }

    QString fsPath(const QString& rel) const { return m_dir.filePath("fs/" + rel); }
    QByteArray ports() const
    {
        QFile f(m_dir.filePath("ports"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString link() const { return QString::fromStdString(m_device->portPath()); }

    bool waitPlugged(devsim::Device& device, bool plugged, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (device.plugged() != plugged && !deadline.hasExpired())
            QThread::usleep(200);
        return device.plugged() == plugged;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void init()
    {
        m_device.reset(new devsim::Device(config()));
        QVERIFY(m_device->start());
        QVERIFY(m_port.open(link()));
    }

    void cleanup()
    {
        m_port.close();
        m_device.reset();
        QCOMPARE(ports(), QByteArray());
        QDir(m_dir.filePath("fs")).removeRecursively();
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("req");
        QTest::addColumn<QByteArray>("resp");
        const auto hex = [](const char* h) { return QByteArray::fromHex(h); };
        QTest::newRow("GetVersion") << hex("010001c0") << hex("120001") + "VELTORA-FW 3.2.0" + hex("00c0");
        QTest::newRow("QueryVersion") << hex("01000cc0") << hex("12000c") + "VELTORA-FW 3.2.0" + hex("00c0");
        QTest::newRow("GetDeviceID") << hex("01000bc0") << hex("09000b9210000000000000c0");
        QTest::newRow("SetDeviceID") << hex("090006efcdab8967452301c0") << hex("090006efcdab8967452301c0");
        QTest::newRow("GetMACs") << hex("01000ac0") << hex("0d000a001a2b3c4d5e001a2b3c4d5fc0");
        QTest::newRow("GetStatusWord") << hex("01000dc0") << hex("05000d01000000c0");
        QTest::newRow("key before creation") << hex("03000e1100c0") << hex("01000ec0");
        QTest::newRow("other parameter unset") << hex("03000e0500c0") << hex("01000ec0");
        QTest::newRow("Command7E") << hex("01007ec0") << hex("01007ec0");
        QTest::newRow("LeaveBootloader in firmware") << hex("010009c0") << hex("010009c0");
        QTest::newRow("EndESP nothing open") << hex("010004c0") << hex("02000401c0");
        QTest::newRow("EndFileRead nothing open") << hex("010014c0") << hex("02001401c0");
        QTest::newRow("DeleteESP absent")
            << request(0x05, nameField("testres.bin", 32)) << hex("02000501c0");
        QTest::newRow("StartFileRead absent")
            << request(0x12, hex("0000") + nameField("nothing.bin", 24)) << hex("050012ffffffffc0");
        QTest::newRow("length field wrong: ignored") << hex("05000bc0") + hex("01000bc0")
                                                     << hex("09000b9210000000000000c0");
        QTest::newRow("unknown code: ignored") << hex("010007c0") + hex("01000bc0")
                                               << hex("09000b9210000000000000c0");
    }

    void answers()
    {
        QFETCH(QByteArray, req);
        QFETCH(QByteArray, resp);
        QCOMPARE(m_port.exchange(req).toHex(), resp.toHex());
    }

    void transcriptLines()
    {
        m_device->clearTranscript();
        m_port.exchange(QByteArray::fromHex("01000bc0"));
        const std::vector<std::string> expected {"> 01000bc0", "< 09000b9210000000000000c0"};
        QCOMPARE(m_device->transcript(), expected);
        QCOMPARE(m_device->commandCodes().back(), quint8(0x0B));
        // The file for people at a station also notes plug events.
        QFile file(m_dir.filePath("ttySIM0.transcript"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QVERIFY(text.contains("# plugged in " + link().toUtf8() + " -> /dev/pts/"));
        QVERIFY(text.endsWith("> 01000bc0\n< 09000b9210000000000000c0\n"));
    }

    // Download and read back through the device's file system, across chunk boundaries.
    void fileRoundTrip_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 511, 512, 513, 1000, 2048})
            QTest::newRow(QByteArray::number(size)) << size;
    }

    void fileRoundTrip()
    {
        QFETCH(int, size);
        QByteArray data(size, '\0');
        for (int i = 0; i < size; ++i)
            data[i] = char((i * 7 + 0xC0) & 0xFF);  // plenty of bytes that need escaping
        QCOMPARE(m_port.exchange(request(0x02, le32(size) + nameField("Updates/ESP_Update_c.bin", 32))),
                 QByteArray::fromHex("02000200c0"));
        for (int off = 0; off < size; off += 512) {
            const QByteArray chunk = data.mid(off, 512);
            QCOMPARE(m_port.exchange(request(0x03, le32(off) + le32(chunk.size()) + chunk)),
                     QByteArray::fromHex("02000300c0"));
        }
        QCOMPARE(m_port.exchange(QByteArray::fromHex("010004c0")), QByteArray::fromHex("02000400c0"));
        QFile written(fsPath("Updates/ESP_Update_c.bin"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), data);

        QCOMPARE(m_port.exchange(request(0x12, QByteArray::fromHex("0700")
                                                   + nameField("Updates/ESP_Update_c.bin", 24))),
                 request(0x12, le32(size)));
        for (int off = 0; off < size; off += 512) {
            const QByteArray chunk = data.mid(off, 512);
            QCOMPARE(m_port.exchange(request(0x13, le32(off) + le32(chunk.size()))).toHex(),
                     request(0x13, chunk).toHex());
        }
        QCOMPARE(m_port.exchange(QByteArray::fromHex("010014c0")), QByteArray::fromHex("02001400c0"));
    }

    void writeRules_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("firstChunk");  // offset + count + data
        QTest::addColumn<QByteArray>("startResult");
        QTest::addColumn<QByteArray>("chunkResult");
        QTest::addColumn<QByteArray>("endResult");
        const QByteArray four = le32(0) + le32(4) + "abcd";
        QTest::newRow("parent folder") << QByteArray("../evil") << four << QByteArray("05") << QByteArray("01") << QByteArray("01");
        QTest::newRow("inner parent") << QByteArray("Updates/../../evil") << four << QByteArray("05") << QByteArray("01") << QByteArray("01");
        QTest::newRow("absolute") << QByteArray("/tmp/evil") << four << QByteArray("05") << QByteArray("01") << QByteArray("01");
        QTest::newRow("wrong offset") << QByteArray("a.bin") << le32(1) + le32(4) + "abcd" << QByteArray("00") << QByteArray("02") << QByteArray("04");
        QTest::newRow("count mismatch") << QByteArray("a.bin") << le32(0) + le32(5) + "abcd" << QByteArray("00") << QByteArray("03") << QByteArray("04");
        QTest::newRow("beyond announced size") << QByteArray("a.bin") << le32(0) + le32(9) + "abcdefghi" << QByteArray("00") << QByteArray("04") << QByteArray("04");
        QTest::newRow("complete") << QByteArray("a.bin") << le32(0) + le32(8) + "abcdefgh" << QByteArray("00") << QByteArray("00") << QByteArray("00");
    }

    void writeRules()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, firstChunk);
        QFETCH(QByteArray, startResult);
        QFETCH(QByteArray, chunkResult);
        QFETCH(QByteArray, endResult);
        QCOMPARE(m_port.exchange(request(0x02, le32(8) + nameField(path, 32))).toHex(),
                 "020002" + startResult + "c0");
        QCOMPARE(m_port.exchange(request(0x03, firstChunk)).toHex(), "020003" + chunkResult + "c0");
        QCOMPARE(m_port.exchange(QByteArray::fromHex("010004c0")).toHex(), "020004" + endResult + "c0");
        QVERIFY(!QFile::exists(m_dir.filePath("evil")));
        QVERIFY(!QFile::exists("/tmp/evil"));
    }

    void deleteFile()
    {
        QVERIFY(QDir().mkpath(fsPath("")));
        QFile f(fsPath("testres.bin"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QCOMPARE(m_port.exchange(request(0x05, nameField("testres.bin", 32))),
                 QByteArray::fromHex("02000500c0"));
        QVERIFY(!f.exists());
        QCOMPARE(m_port.exchange(request(0x05, nameField("testres.bin", 32))),
                 QByteArray::fromHex("02000501c0"));
    }

    void keyCreation()
    {
        // The tool's request: id 17, one data byte 0.
        QCOMPARE(m_port.exchange(QByteArray::fromHex("04000f110000c0")), QByteArray::fromHex("02000f00c0"));
        const QByteArray frame = m_port.exchange(QByteArray::fromHex("03000e1100c0"));
        QCOMPARE(frame.left(3).toHex(), QByteArray("41000e"));  // 64 key bytes + 1
        const std::vector<uint8_t> key = m_device->publicKey();
        const QByteArray xy(reinterpret_cast<const char*>(key.data()), int(key.size()));
        QCOMPARE(frame, slip(QByteArray::fromHex("41000e") + xy));

        // A second creation makes a new key; a reboot keeps it.
        QCOMPARE(m_port.exchange(QByteArray::fromHex("04000f110000c0")), QByteArray::fromHex("02000f00c0"));
        const std::vector<uint8_t> second = m_device->publicKey();
        QVERIFY(second != key);
        QCOMPARE(m_port.exchange(QByteArray::fromHex("010008c0")), QByteArray::fromHex("010008c0"));
        QVERIFY(waitPlugged(*m_device, false));
        QVERIFY(waitPlugged(*m_device, true));
        QVERIFY(m_port.open(link()));
        QCOMPARE(m_port.exchange(QByteArray::fromHex("03000e1100c0")),
                 slip(QByteArray::fromHex("41000e")
                      + QByteArray(reinterpret_cast<const char*>(second.data()), 64)));
        QCOMPARE(m_port.exchange(QByteArray::fromHex("04000f110001c0")), QByteArray::fromHex("02000f03c0"));
    }

    void bootloader()
    {
        m_device->setBootloader(true);
        QCOMPARE(m_port.exchange(QByteArray::fromHex("01000cc0")),
                 QByteArray::fromHex("12000c") + "Bootloader 1.0.4" + QByteArray::fromHex("00c0"));
        QCOMPARE(m_port.exchange(QByteArray::fromHex("01000bc0"), 1, 300), QByteArray());  // only version and leave
        const int plugs = m_device->plugCount();
        QCOMPARE(m_port.exchange(QByteArray::fromHex("010009c0")), QByteArray::fromHex("010009c0"));
        bool hungUp = false;
        m_port.receive(1, 2000, &hungUp);
        QVERIFY(hungUp);
        QVERIFY(waitPlugged(*m_device, true));
        QCOMPARE(m_device->plugCount(), plugs + 1);
        QVERIFY(m_port.open(link()));
        QCOMPARE(m_port.exchange(QByteArray::fromHex("01000cc0")),
                 QByteArray::fromHex("12000c") + "VELTORA-FW 3.2.0" + QByteArray::fromHex("00c0"));
    }

    // The error modes as they appear on the line.
    void faultsOnTheLine_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("param");
        QTest::addColumn<int>("frames");
        QTest::addColumn<QByteArray>("line");
        const QByteArray answer = QByteArray::fromHex("09000b9210000000000000c0");
        QTest::newRow("no answer") << int(devsim::ErrorMode::NoAnswer) << 0 << 1 << QByteArray();
        QTest::newRow("non-zero result") << int(devsim::ErrorMode::NonZeroResult) << 7 << 1
                                         << QByteArray::fromHex("02000b07c0");
        QTest::newRow("wrong code first") << int(devsim::ErrorMode::WrongCodeFirst) << 0 << 2
                                          << QByteArray::fromHex("09000a0000000000000000c0") + answer;
        QTest::newRow("garbage first") << int(devsim::ErrorMode::GarbageFirst) << 0 << 1
                                       << QByteArray::fromHex("55aa00ff1337") + answer;
        QTest::newRow("split") << int(devsim::ErrorMode::SplitResponse) << 30 << 1 << answer;
        QTest::newRow("delay") << int(devsim::ErrorMode::Delay) << 150 << 1 << answer;
    }

    void faultsOnTheLine()
    {
        QFETCH(int, mode);
        QFETCH(int, param);
        QFETCH(int, frames);
        QFETCH(QByteArray, line);
        m_device->setFault(0x0B, devsim::Fault {devsim::ErrorMode(mode), param, 1});
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(m_port.exchange(QByteArray::fromHex("01000bc0"), frames, 500).toHex(), line.toHex());
        QVERIFY(timer.elapsed() >= (mode == int(devsim::ErrorMode::Delay) ? param : 0));
        // times = 1: the next request is answered normally.
        QCOMPARE(m_port.exchange(QByteArray::fromHex("01000bc0")),
                 QByteArray::fromHex("09000b9210000000000000c0"));
    }

    void oversizeFrame()
    {
        m_device->setFault(0x01, devsim::Fault {devsim::ErrorMode::OversizeFrame, 0, -1});
        const QByteArray frame = m_port.exchange(QByteArray::fromHex("010001c0"));
        QCOMPARE(frame.size(), 1100 + 1);
        QCOMPARE(frame.left(3).toHex(), QByteArray("4a0401"));  // 1097 payload bytes + 1
    }
};

QTEST_GUILESS_MAIN(tst_Devsim)
#include "tst_devsim.moc"
