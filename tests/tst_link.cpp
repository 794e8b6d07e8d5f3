#include "prod_fixture.h"
#include "raw_device.h"
#include "serial_line.h"
#include "usb_cdc_protocol.h"

#include <QElapsedTimer>
#include <QtTest>
#include <fcntl.h>
#include <termios.h>

using namespace prodtest;
using devsim::RawDevice;

namespace {

QByteArray wire(const char* hex)
{
    return QByteArray::fromHex(hex);
}

QByteArray hexOf(const uint8_t* p, int n)
{
    return QByteArray(reinterpret_cast<const char*>(p), n).toHex();
}

RawDevice::Piece piece(const QByteArray& bytes, int delayMs = 0)
{
    return {bytes.toStdString(), delayMs};
}

const uint8_t* bytesOf(const char* text)
{
    return reinterpret_cast<const uint8_t*>(text);
}

} // namespace

// The device link on a pseudo-terminal: the POSIX serial line, and the exchange's waits, stale
// input and stop against a device answering with bytes written out by hand. The framing and the
// command table are unit tests (unit/unit_link.cpp).
class LinkTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<RawDevice> m_device;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;

private slots:
    void init()
    {
        m_device = std::make_unique<RawDevice>();
        m_link = std::make_unique<cUSB_CDC_Protocol>();
        QVERIFY(m_device->isReady());
        QVERIFY(!m_link->open(QString::fromStdString(m_device->portPath())));
    }

    void cleanup()
    {
        m_link.reset();
        m_device.reset();
    }

    void lineNames()
    {
        const std::string path = m_device->portPath();
        m_link->close();
        SerialLine line;
        QVERIFY(line.open(path));
        QVERIFY(!line.open(path)); // already open here: refused, still open
        QVERIFY(line.isOpen());
        line.close();

        // A name with a "/" is a path as it stands, relative ones included.
        QVERIFY(line.open(QDir::current().relativeFilePath(path.c_str()).toStdString()));
        line.close();
        QVERIFY(!line.open(path.substr(5))); // "pts/N" is not under the working directory
        // Any other name is looked up under /dev/ (ptmx: a terminal every Linux has).
        QVERIFY(line.open("ptmx"));
        line.close();
        QVERIFY(!line.open("veltora-no-such-port"));
        QVERIFY(!line.open("/dev/null")); // not a terminal
    }

    // Raw 115200 8N1 while the line is open, whatever the port was set to; the port's own
    // settings come back at close. A read takes no more than it has room for.
    void lineIsRawAndRestored()
    {
        m_link->close();
        const int tty = ::open(m_device->portPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        QVERIFY(tty >= 0);
        termios before{};
        QCOMPARE(tcgetattr(tty, &before), 0);
        before.c_lflag |= ECHO | ICANON | ISIG;
        before.c_oflag |= OPOST | ONLCR;
        before.c_iflag |= IXON | ICRNL;
        before.c_cflag = (before.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB;
        before.c_cc[VMIN] = 3;
        before.c_cc[VTIME] = 7;
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        QCOMPARE(tcsetattr(tty, TCSANOW, &before), 0);
        QCOMPARE(tcgetattr(tty, &before), 0);

        SerialLine line;
        QVERIFY(line.open(m_device->portPath()));
        termios raw;
        QCOMPARE(tcgetattr(tty, &raw), 0);
        QCOMPARE(cfgetispeed(&raw), speed_t(B115200));
        QCOMPARE(cfgetospeed(&raw), speed_t(B115200));
        QCOMPARE(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                 tcflag_t(CS8 | CREAD | CLOCAL));
        QCOMPARE(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(raw.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));

        // CR, NL, ^C and XOFF pass unchanged both ways.
        const QByteArray specials = wire("0d0a031311c0");
        m_device->queueReply(specials.toStdString());
        QCOMPARE(line.write(bytesOf(specials.constData()), 6), size_t(6));
        QVERIFY(m_device->waitForReplies(1, 2000));
        uint8_t buf[16];
        QCOMPARE(hexOf(buf, int(line.read(buf, 4, 1000))), QByteArray("0d0a0313"));
        QCOMPARE(hexOf(buf, int(line.read(buf, sizeof buf, 1000))), QByteArray("11c0"));
        QCOMPARE(m_device->requests(), std::vector<std::string>{specials.toStdString()});

        line.close();
        termios after{};
        QCOMPARE(tcgetattr(tty, &after), 0);
        ::close(tty);
        QCOMPARE(memcmp(&after, &before, sizeof after), 0);
    }

    // Input left from an earlier exchange is never taken for the answer of the next request.
    void staleAnswersAreDropped()
    {
        // The MAC answer came in the same read as the ID answer asked for.
        m_link->setTimeoutLimitMs(150);
        m_device->queueReply(
            wire("09000b2a00000000000000c0 0d000a001a2b3c4d5e001a2b3c4d5fc0").toStdString());
        quint64 id = 0;
        QVERIFY(!m_link->SendGetDeviceID(id));
        QCOMPARE(id, quint64(42));
        uint8_t macs[12];
        QVERIFY(m_link->SendGetMACs(macs, macs + 6));

        // The first version answer comes after its exchange gave up, before the second request.
        m_link->setTimeoutLimitMs(100);
        m_device->queueReply({piece(wire("0800014f4c442e3000c0"), 200)});
        m_device->queueReply({piece(wire("0800014e45572e3000c0"), 20)});
        QString text = "none";
        QVERIFY(m_link->SendGetVersion(text));
        QVERIFY(m_device->waitForReplies(2, 1000));
        m_link->setTimeoutLimitMs(0);
        QVERIFY(!m_link->SendGetVersion(text));
        QCOMPARE(text, QString("NEW.0"));
    }

    void waitsOutTheTimeout_data()
    {
        QTest::addColumn<QString>("line");
        QTest::newRow("silent device") << "silent";
        QTest::newRow("hung-up line") << "hung up";
        QTest::newRow("port never opened") << "closed";
    }

    // Nothing comes back: the exchange waits out the version probe's 300 ms without spinning on
    // the line, says so once and leaves the caller's text as it was.
    void waitsOutTheTimeout()
    {
        QFETCH(QString, line);
        if (line == "hung up")
            m_device->hangUp();
        if (line == "closed")
            m_link->close();
        DebugCapture capture;
        QElapsedTimer elapsed;
        elapsed.start();
        const qint64 cpuBefore = threadCpuMs();
        QString text = "old";
        QVERIFY(m_link->SendGetVersion(text));
        const qint64 ms = elapsed.elapsed();
        const qint64 cpu = threadCpuMs() - cpuBefore;
        QVERIFY2(ms >= 300 && ms < 800, qPrintable(QString::number(ms)));
        QVERIFY2(cpu < 75, qPrintable(QString("cpu %1 ms").arg(cpu)));
        QCOMPARE(capture.lines(), QStringList{"Timeout occurrued"});
        QCOMPARE(text, QString("old"));
    }

    void stopReachesAWaitingExchange()
    {
        StopToken stop;
        m_link->setStopToken(stop);
        std::thread stopper([&] {
            m_device->waitForRequests(1, 5000);
            stop.stop();
        });
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(m_link->SendDeleteESP("testres.bin")); // a silent device: 60 s
        stopper.join();
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
        // Once stopped, nothing more goes to the device.
        QVERIFY(m_link->SendReboot());
        QCOMPARE(int(m_device->requests().size()), 1);
    }

    void openTwiceFails()
    {
        RawDevice other;
        cUSB_CDC_Protocol second;
        const QString port = QString::fromStdString(m_device->portPath());
        QVERIFY(m_link->open(QString::fromStdString(other.portPath()))); // open: refused, port kept
        QVERIFY(second.open(port));                                      // in use by another link
        QVERIFY(!second.portOpen());
        m_device->queueReply(wire("010008c0").toStdString());
        QVERIFY(!m_link->SendReboot());
        m_link->closeIfOpen();
        QVERIFY(!m_link->portOpen());
        QVERIFY(!second.open(port));
    }
};

QTEST_GUILESS_MAIN(LinkTest)
#include "tst_link.moc"
