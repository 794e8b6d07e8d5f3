#include "link_pty_peer.h"
#include "serial_line.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>
#include <termios.h>
#include <time.h>

namespace {

qint64 threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QByteArray readOnce(SerialLine& line)
{
    uint8_t buf[2048];
    const long n = line.read(buf, sizeof buf);
    return n > 0 ? QByteArray(reinterpret_cast<const char*>(buf), int(n)) : QByteArray();
}

} // namespace

// The POSIX serial line on a pseudo-terminal: opening, settings, exclusivity and read windows.
class SerialLineTest : public QObject
{
    Q_OBJECT

private slots:
    void openByPathAndByDevName();
    void openIsExclusive();
    void rawModeAndRestoredSettings();
    void readReturnsAtEndByte_data();
    void readReturnsAtEndByte();
    void readWindowWithoutEndByte();
    void readStopsAtCapacity();
    void hungUpLineDoesNotSpin();
};

void SerialLineTest::openByPathAndByDevName()
{
    PtyPeer peer;
    QVERIFY(peer.isReady());
    const std::string path = peer.slavePath().toStdString();
    QVERIFY(path.rfind("/dev/", 0) == 0);

    SerialLine line;
    QVERIFY(line.open(path));
    QVERIFY(line.isOpen());
    line.close();
    QVERIFY(!line.isOpen());

    // A name with a "/" is a path as it stands, relative ones included.
    QVERIFY(line.open(QDir::current().relativeFilePath(peer.slavePath()).toStdString()));
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

void SerialLineTest::openIsExclusive()
{
    PtyPeer peer;
    QVERIFY(peer.isReady());
    const std::string path = peer.slavePath().toStdString();

    SerialLine first;
    SerialLine second;
    QVERIFY(first.open(path));
    QVERIFY(!second.open(path));
    QVERIFY(!first.open(path));  // already open here: refused, still usable
    QVERIFY(first.isOpen());
    QCOMPARE(first.write(reinterpret_cast<const uint8_t*>("\x01\x00\x01\xC0"), 4), size_t(4));
    QVERIFY(peer.waitForRequests(1, 2000));
    QCOMPARE(peer.requests().first().toHex(), QByteArray("010001c0"));

    first.close();
    QVERIFY(second.open(path));
    second.close();
}

void SerialLineTest::rawModeAndRestoredSettings()
{
    PtyPeer peer;
    QVERIFY(peer.isReady());
    const int tty = peer.holderFd();

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
    QVERIFY(line.open(peer.slavePath().toStdString()));
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
    peer.send(specials);
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

void SerialLineTest::readReturnsAtEndByte_data()
{
    QTest::addColumn<bool>("byteAtATime");
    QTest::newRow("bulk") << false;
    QTest::newRow("byte at a time") << true;
}

void SerialLineTest::readReturnsAtEndByte()
{
    QFETCH(bool, byteAtATime);
    PtyPeer peer;
    QVERIFY(peer.isReady());
    peer.setByteAtATime(byteAtATime);
    SerialLine line;
    QVERIFY(line.open(peer.slavePath().toStdString()));

    const QByteArray frame = QByteArray::fromHex("0d000a001a2b3c4d5e001a2b3c4d5fc0");
    peer.queueReply(frame);
    QCOMPARE(line.write(reinterpret_cast<const uint8_t*>("\x01\x00\x0a\xC0"), 4), size_t(4));
    QByteArray got;
    QElapsedTimer waited;
    waited.start();
    // The reply may arrive in any read; the one that brings the END byte returns with it.
    while (!got.endsWith('\xC0') && waited.elapsed() < 2000)
        got += readOnce(line);
    QCOMPARE(got.toHex(), frame.toHex());
}

void SerialLineTest::readWindowWithoutEndByte()
{
    PtyPeer peer;
    QVERIFY(peer.isReady());
    SerialLine line;
    QVERIFY(line.open(peer.slavePath().toStdString()));

    peer.send(QByteArray::fromHex("02000b0102"));
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
    PtyPeer peer;
    QVERIFY(peer.isReady());
    SerialLine line;
    QVERIFY(line.open(peer.slavePath().toStdString()));

    peer.send(QByteArray(3000, '\x55'));
    uint8_t buf[2048];
    QCOMPARE(line.read(buf, sizeof buf), 2048L);
    long rest = 0;
    QElapsedTimer waited;
    waited.start();
    while (rest < 952 && waited.elapsed() < 2000)
        rest += std::max(0L, line.read(buf, sizeof buf));
    QCOMPARE(rest, 952L);
}

void SerialLineTest::hungUpLineDoesNotSpin()
{
    PtyPeer peer;
    QVERIFY(peer.isReady());
    SerialLine line;
    QVERIFY(line.open(peer.slavePath().toStdString()));
    peer.hangUp();

    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 cpuBefore = threadCpuMs();
    int failed = 0;
    for (int i = 0; i < 20; ++i) {
        uint8_t buf[2048];
        if (line.read(buf, sizeof buf) < 0)
            ++failed;
    }
    const qint64 wall = elapsed.elapsed();
    const qint64 cpu = threadCpuMs() - cpuBefore;
    QCOMPARE(failed, 20);
    QVERIFY2(wall >= 190, qPrintable(QString::number(wall)));
    QVERIFY2(cpu < wall / 4, qPrintable(QString("cpu %1 ms of %2 ms").arg(cpu).arg(wall)));

    QCOMPARE(line.write(reinterpret_cast<const uint8_t*>("\x01\x00\x01\xC0"), 4) < 4, true);
    line.close();
    QVERIFY(!line.isOpen());
}

QTEST_APPLESS_MAIN(SerialLineTest)
#include "tst_serial_line.moc"
