#include "prod_fixture.h"
#include "serial_line.h"

#include <QElapsedTimer>
#include <QtTest>
#include <termios.h>

using namespace prodtest;

namespace {

QByteArray readOnce(SerialLine& line)
{
    uint8_t buf[2048];
    const long n = line.read(buf, sizeof buf, SerialLine::kReadWindowMs);
    return n > 0 ? QByteArray(reinterpret_cast<const char*>(buf), int(n)) : QByteArray();
}

} // namespace

// The POSIX serial line on a pseudo-terminal: names, settings and read windows. Exclusivity,
// byte-at-a-time delivery and a hung-up line are seen through the device link's tests.
class SerialLineTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_peer = std::make_unique<PtyPeer>();
        QVERIFY(m_peer->isReady());
    }
    void cleanup() { m_peer.reset(); }
    void openByPathAndByDevName();
    void rawModeAndRestoredSettings();
    void readsWhatHasArrived();
    void readStopsAtCapacity();

private:
    std::string path() const { return m_peer->slavePath().toStdString(); }
    std::unique_ptr<PtyPeer> m_peer;
};

void SerialLineTest::openByPathAndByDevName()
{
    const std::string path = this->path();
    QVERIFY(path.rfind("/dev/", 0) == 0);

    SerialLine line;
    QVERIFY(line.open(path));
    QVERIFY(!line.open(path));  // already open here: refused, still open
    QVERIFY(line.isOpen());
    line.close();
    QVERIFY(!line.isOpen());

    // A name with a "/" is a path as it stands, relative ones included.
    QVERIFY(line.open(QDir::current().relativeFilePath(m_peer->slavePath()).toStdString()));
    line.close();
    QVERIFY(!line.open(path.substr(5)));  // "pts/N" is not under the working directory
    // Any other name is looked up under /dev/ (ptmx: a terminal every Linux has).
    QVERIFY(line.open("ptmx"));
    line.close();

    QVERIFY(!line.open("/dev/veltora-no-such-port"));
    QVERIFY(!line.open("veltora-no-such-port"));
    QVERIFY(!line.open("/dev/null"));  // not a terminal
    QVERIFY(!line.isOpen());
}

void SerialLineTest::rawModeAndRestoredSettings()
{
    const int tty = m_peer->holderFd();

    termios before;
    QCOMPARE(tcgetattr(tty, &before), 0);
    before.c_lflag |= ECHO | ICANON | ISIG;
    before.c_oflag |= OPOST;
    before.c_iflag |= IXON | ICRNL;
    before.c_cflag = (before.c_cflag & ~tcflag_t(CSIZE)) | CS7 | PARENB | CSTOPB;
    before.c_cc[VMIN] = 3;
    before.c_cc[VTIME] = 7;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    QCOMPARE(tcsetattr(tty, TCSANOW, &before), 0);
    QCOMPARE(tcgetattr(tty, &before), 0);

    SerialLine line;
    QVERIFY(line.open(path()));
    termios raw;
    QCOMPARE(tcgetattr(tty, &raw), 0);
    QCOMPARE(cfgetispeed(&raw), speed_t(B115200));
    QCOMPARE(cfgetospeed(&raw), speed_t(B115200));
    QCOMPARE(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8));
    QVERIFY(raw.c_cflag & CREAD);
    QVERIFY(raw.c_cflag & CLOCAL);
    QCOMPARE(raw.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(raw.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(raw.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));

    // Raw both ways: CR, NL, ^C and XOFF pass unchanged.
    const QByteArray specials = QByteArray::fromHex("0d0a031311c0");
    m_peer->send(specials);
    QCOMPARE(readOnce(line).toHex(), specials.toHex());

    line.close();
    termios after;
    QCOMPARE(tcgetattr(tty, &after), 0);
    QCOMPARE(after.c_iflag, before.c_iflag);
    QCOMPARE(after.c_oflag, before.c_oflag);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
    QCOMPARE(after.c_cc[VMIN], before.c_cc[VMIN]);
    QCOMPARE(after.c_cc[VTIME], before.c_cc[VTIME]);
    QCOMPARE(cfgetispeed(&after), speed_t(B9600));
}

void SerialLineTest::readsWhatHasArrived()
{
    SerialLine line;
    QVERIFY(line.open(path()));

    m_peer->send(QByteArray::fromHex("02000b0102"));
    QByteArray got;
    QElapsedTimer waited;
    waited.start();
    while (got.size() < 5 && waited.elapsed() < 2000)
        got += readOnce(line);
    QCOMPARE(got.toHex(), QByteArray("02000b0102"));

    // Silence: each read waits out its window and returns nothing.
    QElapsedTimer window;
    window.start();
    QCOMPARE(readOnce(line), QByteArray());
    QVERIFY2(window.elapsed() >= 9, qPrintable(QString::number(window.elapsed())));
    QVERIFY2(window.elapsed() < 500, qPrintable(QString::number(window.elapsed())));
}

void SerialLineTest::readStopsAtCapacity()
{
    SerialLine line;
    QVERIFY(line.open(path()));

    m_peer->send(QByteArray(3000, '\x55'));
    uint8_t buf[2048];
    QCOMPARE(line.read(buf, sizeof buf, SerialLine::kReadWindowMs), 2048L);
    long rest = 0;
    QElapsedTimer waited;
    waited.start();
    while (rest < 952 && waited.elapsed() < 2000)
        rest += std::max(0L, line.read(buf, sizeof buf, SerialLine::kReadWindowMs));
    QCOMPARE(rest, 952L);
}

QTEST_APPLESS_MAIN(SerialLineTest)
#include "tst_serial_line.moc"
