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

constexpr int kSkip = 77;
const QString kWine = QStringLiteral(VELTORA_WINE);
const QString kWineserver = QStringLiteral(VELTORA_WINESERVER);
const QString kDriver = QStringLiteral(VELTORA_SERIAL_DRIVER);

// What the harness puts on the line before it lets the driver read, per driver step.
QByteArray bytesFor(const QByteArray& step)
{
    if (step == "two-frames")
        return QByteArray::fromHex("02000400c0" "02000401c0");
    if (step == "over-cap")
        return QByteArray(3000, '\x55');
    if (step == "small-cap")
        return QByteArray::fromHex("06000311223344c0");
    return QByteArray();
}

} // namespace

class TstWin32Serial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void driverChecks_data();
    void driverChecks();
    void driverFinished();
    void requestOnTheLine();
    void lineSettings();

private:
    bool openPty();
    void runDriver();
    void handle(const QByteArray& line);
    bool waitForInput(int count, int ms);
    void answerRequest();
    QProcessEnvironment wineEnvironment() const;

    std::unique_ptr<QTemporaryDir> m_prefixDir;
    QString m_prefix;
    QString m_comLink;
    int m_master = -1;
    int m_slave = -1;
    QProcess m_driver;
    QList<QByteArray> m_lines;
    QByteArray m_request;
    bool m_haveSettings = false;
    termios m_settings{};
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
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        return false;
    const char* name = ptsname(m_master);
    if (!name)
        return false;
    // The harness keeps the slave open so the line exists before and after Wine holds it.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0)
        return false;
    termios t{};
    tcgetattr(m_slave, &t);
    cfmakeraw(&t);
    tcsetattr(m_slave, TCSANOW, &t);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_comLink = m_prefix + "/dosdevices/com5";
    QFile::remove(m_comLink);
    return QFile::link(QString::fromLocal8Bit(name), m_comLink);
}

void TstWin32Serial::initTestCase()
{
    // A kept prefix (warm runs) can be named; by default each run makes and removes its own.
    const QString kept = qEnvironmentVariable("VELTORA_WINEPREFIX");
    if (kept.isEmpty()) {
        m_prefixDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/veltora-wine-XXXXXX");
        QVERIFY(m_prefixDir->isValid());
        m_prefix = m_prefixDir->path();
    } else {
        QDir().mkpath(kept);
        m_prefix = kept;
    }

    QElapsedTimer clock;
    clock.start();
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
    QVERIFY2(boot.exitStatus() == QProcess::NormalExit && boot.exitCode() == 0,
             boot.readAll().constData());
    qInfo("Wine prefix ready in %.1f s", clock.elapsed() / 1000.0);
    QVERIFY(QDir(m_prefix + "/dosdevices").exists());

    QVERIFY2(openPty(), "pseudo-terminal for COM5");
    clock.restart();
    runDriver();
    qInfo("driver session took %.1f s", clock.elapsed() / 1000.0);
    for (const QByteArray& line : qAsConst(m_lines)) {
        if (line.startsWith("INFO ") || line.startsWith("SKIP "))
            qInfo("%s", line.constData());
    }
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
    while (clock.elapsed() < 120000) {
        while (m_driver.canReadLine())
            handle(m_driver.readLine().trimmed());
        if (m_driver.state() == QProcess::NotRunning)
            break;
        m_driver.waitForReadyRead(100);
    }
    if (m_driver.state() != QProcess::NotRunning) {
        m_harnessError = "driver still running after 120 s";
        m_driver.kill();
        m_driver.waitForFinished(10000);
    }
    while (m_driver.canReadLine())
        handle(m_driver.readLine().trimmed());
    const QByteArray rest = m_driver.readAllStandardOutput().trimmed();
    if (!rest.isEmpty())
        handle(rest);
    const QByteArray wineErrors = m_driver.readAllStandardError().trimmed();
    if (!wineErrors.isEmpty())
        qInfo("Wine said: %s", wineErrors.constData());
}

bool TstWin32Serial::waitForInput(int count, int ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int queued = -1;
        ioctl(m_slave, FIONREAD, &queued);
        if (queued == count)
            return true;
        if (clock.elapsed() > ms)
            return false;
        poll(nullptr, 0, 1);
    }
}

void TstWin32Serial::answerRequest()
{
    QElapsedTimer clock;
    clock.start();
    while (!m_request.endsWith('\xC0') && clock.elapsed() < 5000) {
        pollfd p{m_master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[256];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0)
                m_request.append(buf, int(n));
        }
    }
    const QByteArray response = QByteArray::fromHex("0600055631dbdcdbdd00c0");
    if (::write(m_master, response.constData(), size_t(response.size())) != response.size())
        m_harnessError = "could not answer the request";
}

void TstWin32Serial::handle(const QByteArray& line)
{
    if (line.isEmpty())
        return;
    m_lines.append(line);
    if (line == "SENT request") {
        answerRequest();
        return;
    }
    if (!line.startsWith("READY "))
        return;
    const QByteArray step = line.mid(6);
    if (step == "opened") {
        m_haveSettings = tcgetattr(m_slave, &m_settings) == 0;
    } else if (step == "hangup") {
        ::close(m_master);
        m_master = -1;
    } else {
        const QByteArray bytes = bytesFor(step);
        if (::write(m_master, bytes.constData(), size_t(bytes.size())) != bytes.size()
            || !waitForInput(bytes.size(), 5000))
            m_harnessError = "could not queue the bytes of " + QString::fromLatin1(step);
    }
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

void TstWin32Serial::driverChecks_data()
{
    QTest::addColumn<QByteArray>("check");
    for (const char* name : {"raw open", "open", "open calls", "open on an open line fails",
                             "open on an open line makes no calls", "write request in pieces",
                             "response bytes", "response decodes", "read two frames",
                             "read stops at the cap", "read without END takes the window",
                             "read honours a small cap",
                             "silent line returns nothing after the window",
                             "failed read takes the window", "failed write reports nothing written",
                             "closed",
                             "close calls", "second close makes no calls",
                             "closed line reads and writes nothing", "port free after close",
                             "open fails when the port takes no time-outs",
                             "a refused open closes its handle", "open again",
                             "dead line read takes the window"})
        QTest::newRow(name) << QByteArray(name);
}

void TstWin32Serial::driverChecks()
{
    QFETCH(QByteArray, check);
    QVERIFY2(m_harnessError.isEmpty(), qPrintable(m_harnessError));
    QByteArray report;
    for (const QByteArray& line : qAsConst(m_lines)) {
        if (line == "PASS " + check)
            return;
        if (line.startsWith("FAIL " + check + ":"))
            report = line;
    }
    QFAIL(report.isEmpty() ? "check did not run" : report.constData());
}

void TstWin32Serial::driverFinished()
{
    QByteArray failures;
    for (const QByteArray& line : qAsConst(m_lines)) {
        if (line.startsWith("FAIL "))
            failures += line + '\n';
    }
    QVERIFY2(failures.isEmpty(), failures.constData());
    QVERIFY(m_lines.contains("RESULT PASS"));
    QCOMPARE(m_driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_driver.exitCode(), 0);
}

void TstWin32Serial::requestOnTheLine()
{
    QCOMPARE(m_request.toHex(), QByteArray("040005dbdcdbdd01c0"));
}

void TstWin32Serial::lineSettings()
{
    QVERIFY(m_haveSettings);
    QCOMPARE(cfgetospeed(&m_settings), speed_t(B115200));
    QCOMPARE(cfgetispeed(&m_settings), speed_t(B115200));
    QCOMPARE(m_settings.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(m_settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(m_settings.c_iflag & (IXON | IXOFF), tcflag_t(0));
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (kWine.isEmpty() || kDriver.isEmpty()) {
        std::printf("SKIP: the Win32 serial test needs wine and the x86_64-w64-mingw32-g++ cross "
                    "compiler (scripts/bootstrap installs both)\n");
        return kSkip;
    }
    if (!QFile::exists(kDriver)) {
        std::printf("FAIL: the cross-compiled driver %s is missing\n", qPrintable(kDriver));
        return 1;
    }
    TstWin32Serial test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_win32_serial.moc"
