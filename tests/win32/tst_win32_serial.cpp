// Runs the cross-compiled serial driver under Wine against a pseudo-terminal mapped as COM5 and
// plays the device on the master side.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

const QString kWine = QStringLiteral(VELTORA_WINE);
const QString kWineserver = QStringLiteral(VELTORA_WINESERVER);
const QString kDriver = QStringLiteral(VELTORA_SERIAL_DRIVER);

// What the harness puts on the line before it lets the driver read, per driver step.
QByteArray bytesFor(const QByteArray& step)
{
    if (step == "frames")
        return QByteArray::fromHex("02000400c0" "02000401c0" "0200");
    if (step == "small-cap")
        return QByteArray::fromHex("06000311223344c0");
    if (step == "stale")
        return QByteArray::fromHex("0200040fc0");
    return QByteArray();
}

} // namespace

class TstWin32Serial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void driverPassed();
    void requestOnTheLine();

private:
    bool openPty();
    void runDriver();
    void handle(const QByteArray& line);
    QProcessEnvironment wineEnvironment() const;

    std::unique_ptr<QTemporaryDir> m_prefixDir;
    QString m_prefix;
    QString m_comLink;
    int m_master = -1;
    int m_slave = -1;
    QProcess m_driver;
    QList<QByteArray> m_lines;
    QByteArray m_request;
    QString m_harnessError;
};

QProcessEnvironment TstWin32Serial::wineEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WINEPREFIX", m_prefix);
    env.insert("WINEDEBUG", "-all");
    // No Mono, Gecko or menu entries: nothing to download, nothing to install.
    env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

bool TstWin32Serial::openPty()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 || !ptsname(m_master))
        return false;
    // The harness keeps the slave open so the line exists before and after Wine holds it.
    m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return false;
    termios t{};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    tcsetattr(m_slave, TCSANOW, &t);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_comLink = m_prefix + "/dosdevices/com5";
    QFile::remove(m_comLink);
    return QFile::link(QString::fromLocal8Bit(ptsname(m_master)), m_comLink);
}

void TstWin32Serial::initTestCase()
{
    // A kept prefix (warm runs) can be named; by default each run makes and removes its own.
    m_prefix = qEnvironmentVariable("VELTORA_WINEPREFIX");
    if (m_prefix.isEmpty()) {
        m_prefixDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/veltora-wine-XXXXXX");
        QVERIFY(m_prefixDir->isValid());
        m_prefix = m_prefixDir->path();
    }
    QDir().mkpath(m_prefix);

    QProcess boot;
    boot.setProcessEnvironment(wineEnvironment());
    boot.setProcessChannelMode(QProcess::MergedChannels);
    boot.start(kWine, {"wineboot", "-i"});
    QVERIFY2(boot.waitForStarted(10000), qPrintable(boot.errorString()));
    if (!boot.waitForFinished(240000)) {
        boot.kill();
        boot.waitForFinished(5000);
        QFAIL("wineboot did not finish within 240 s");
    }
    QVERIFY2(boot.exitStatus() == QProcess::NormalExit && boot.exitCode() == 0, boot.readAll().constData());
    QVERIFY2(openPty(), "pseudo-terminal for COM5");
    runDriver();
}

void TstWin32Serial::runDriver()
{
    m_driver.setProcessEnvironment(wineEnvironment());
    m_driver.start(kWine, {kDriver, "COM5"});
    if (!m_driver.waitForStarted(10000)) {
        m_harnessError = "driver did not start: " + m_driver.errorString();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (m_driver.state() != QProcess::NotRunning && clock.elapsed() < 120000) {
        m_driver.waitForReadyRead(100);
        while (m_driver.canReadLine())
            handle(m_driver.readLine().trimmed());
    }
    if (m_driver.state() != QProcess::NotRunning) {
        m_harnessError = "driver still running after 120 s";
        m_driver.kill();
        m_driver.waitForFinished(10000);
    }
    for (const QByteArray& line : m_driver.readAllStandardOutput().split('\n'))
        handle(line.trimmed());
}

// Answers the driver's steps: reads and answers its request, or queues a step's bytes on the
// line and waits until they are there before letting it read.
void TstWin32Serial::handle(const QByteArray& line)
{
    if (line.isEmpty())
        return;
    m_lines.append(line);
    QElapsedTimer clock;
    clock.start();
    if (line == "SENT request") {
        while (!m_request.endsWith('\xC0') && clock.elapsed() < 5000) {
            pollfd p{m_master, POLLIN, 0};
            char buf[256];
            const ssize_t n = poll(&p, 1, 100) > 0 ? ::read(m_master, buf, sizeof buf) : 0;
            if (n > 0)
                m_request.append(buf, int(n));
        }
        // Answers late, as a busy device does, so the driver's read has to wait for the answer.
        poll(nullptr, 0, 50);
        const QByteArray response = QByteArray::fromHex("0600055631dbdcdbdd00c0");
        if (::write(m_master, response.constData(), size_t(response.size())) != response.size())
            m_harnessError = "could not answer the request";
        return;
    }
    if (!line.startsWith("READY "))
        return;
    const QByteArray step = line.mid(6);
    const QByteArray bytes = bytesFor(step);
    const bool written = ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    int queued = -1;
    while (written && (ioctl(m_slave, FIONREAD, &queued) != 0 || queued != bytes.size()) && clock.elapsed() < 5000)
        poll(nullptr, 0, 1);
    if (queued != bytes.size())
        m_harnessError = "could not queue the bytes of " + QString::fromLatin1(step);
    m_driver.write("go\n");
    m_driver.waitForBytesWritten(5000);
}

void TstWin32Serial::cleanupTestCase()
{
    if (m_driver.state() != QProcess::NotRunning) {
        m_driver.kill();
        m_driver.waitForFinished(10000);
    }
    if (!m_prefix.isEmpty()) {
        QProcess stop;
        stop.setProcessEnvironment(wineEnvironment());
        stop.start(kWineserver, {"-k"});
        if (stop.waitForStarted(5000) && !stop.waitForFinished(30000)) {
            stop.kill();
            stop.waitForFinished(5000);
        }
    }
    if (!m_comLink.isEmpty())
        QFile::remove(m_comLink);
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

// Every check of the driver ran and none failed.
void TstWin32Serial::driverPassed()
{
    QVERIFY2(m_harnessError.isEmpty(), qPrintable(m_harnessError));
    QByteArray failures;
    int ran = 0;
    for (const QByteArray& line : qAsConst(m_lines)) {
        ran += line.startsWith("PASS ");
        if (line.startsWith("FAIL "))
            failures += line + '\n';
    }
    QVERIFY2(failures.isEmpty(), failures.constData());
    QCOMPARE(ran, 21);
    QVERIFY(m_lines.contains("RESULT PASS"));
    QCOMPARE(m_driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_driver.exitCode(), 0);
}

void TstWin32Serial::requestOnTheLine()
{
    QCOMPARE(m_request.toHex(), QByteArray("040005dbdcdbdd01c0"));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (kWine.isEmpty() || kDriver.isEmpty()) {
        std::printf("SKIP: the Win32 serial test needs wine and the x86_64-w64-mingw32-g++ cross "
                    "compiler (scripts/bootstrap installs both)\n");
        return 77;
    }
    if (!QFile::exists(kDriver)) {
        std::printf("FAIL: the cross-compiled driver %s is missing\n", qPrintable(kDriver));
        return 1;
    }
    TstWin32Serial test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_win32_serial.moc"
