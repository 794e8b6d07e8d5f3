// Runs the cross-compiled serial driver under Wine against a raw-reply device whose port is
// mapped as COM5, and the J-Link lookup driver against registry values set with Wine's reg.
#include "raw_device.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <memory>

namespace {

const QString kWine = QStringLiteral(VELTORA_WINE);
const QString kWineserver = QStringLiteral(VELTORA_WINESERVER);
const QString kDriver = QStringLiteral(VELTORA_SERIAL_DRIVER);
const QString kJLinkDriver = QStringLiteral(VELTORA_JLINK_DRIVER);

std::string bytes(const char* hex)
{
    return QByteArray::fromHex(hex).toStdString();
}

} // namespace

class TstWin32Serial : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_prefixDir;
    QString m_prefix;

    // Runs a Wine program in the test's prefix; false when it did not end within timeoutMs.
    bool wine(QProcess& p, const QString& program, const QStringList& args, int timeoutMs)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WINEPREFIX", m_prefix);
        env.insert("WINEDEBUG", "-all");
        // No Mono, Gecko or menu entries: nothing to download, nothing to install.
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        // A JDK on the PATH, with its jlink.exe.
        env.insert("WINEPATH", "C:\\jdk\\bin");
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (p.waitForFinished(timeoutMs))
            return true;
        p.kill();
        p.waitForFinished(5000);
        return false;
    }

private slots:
    void initTestCase()
    {
        // A kept prefix (warm runs) can be named; by default each run makes and removes its own.
        m_prefix = qEnvironmentVariable("VELTORA_WINEPREFIX");
        if (m_prefix.isEmpty()) {
            m_prefixDir =
                std::make_unique<QTemporaryDir>(QDir::tempPath() + "/veltora-wine-XXXXXX");
            QVERIFY(m_prefixDir->isValid());
            m_prefix = m_prefixDir->path();
        }
        QDir().mkpath(m_prefix);
        QProcess boot;
        boot.setProcessChannelMode(QProcess::MergedChannels);
        QVERIFY2(wine(boot, kWine, {"wineboot", "-i"}, 240000), "wineboot ran over 240 s");
        QVERIFY2(boot.exitStatus() == QProcess::NormalExit && boot.exitCode() == 0,
                 boot.readAll().constData());
    }

    void cleanupTestCase()
    {
        QProcess stop;
        wine(stop, kWineserver, {"-k"}, 30000);
    }

    // The driver's checks all ran and passed, and its requests reached the line byte for byte:
    // the one written in pieces, then an empty request for each read step.
    void driver()
    {
        devsim::RawDevice device;
        QVERIFY(device.isReady());
        device.queueReply(std::string()); // the request: unanswered
        device.queueReply(bytes("02000400c0 02000401c0 0200"));
        device.queueReply(bytes("06000311223344c0"));
        device.queueReply(bytes("0200040fc0")); // stale: dropped by the driver
        const QString com5 = m_prefix + "/dosdevices/com5";
        QFile::remove(com5);
        QVERIFY(QFile::link(QString::fromStdString(device.portPath()), com5));

        QProcess p;
        QVERIFY2(wine(p, kWine, {kDriver, "COM5"}, 120000), "driver ran over 120 s");
        const QByteArray out = p.readAllStandardOutput();
        QVERIFY2(!out.contains("FAIL"), out.constData());
        QCOMPARE(out.count("PASS "), 19);
        QVERIFY(out.contains("RESULT PASS"));
        QCOMPARE(p.exitCode(), 0);
        std::vector<std::string> requests = device.requests();
        QCOMPARE(int(requests.size()), 4);
        QCOMPARE(QByteArray::fromStdString(requests[0]).toHex(), QByteArray("040005dbdcdbdd01c0"));
        QCOMPARE(requests[1] + requests[2] + requests[3], std::string(3, '\xC0'));
        QFile::remove(com5);
    }

    // The installed J-Link software by the folder its installer recorded, never a jlink.exe
    // from the PATH.
    void jlinkFromRegistry_data()
    {
        QTest::addColumn<QString>("root"); // where InstallPath is recorded; empty: nowhere
        QTest::addColumn<QString>("recorded");
        QTest::addColumn<QByteArray>("found");
        const QString user = "HKCU", machine = "HKLM";
        const QByteArray installed = "C:\\SEGGER\\JLink_V794\\JLink.exe";
        QTest::newRow("nothing recorded") << QString() << QString() << QByteArray("none");
        QTest::newRow("the user's") << user << QString("C:\\SEGGER\\JLink_V794\\") << installed;
        QTest::newRow("the machine's, no closing backslash")
            << machine << QString("C:\\SEGGER\\JLink_V794") << installed;
        QTest::newRow("software removed")
            << user << QString("C:\\SEGGER\\JLink_V700\\") << QByteArray("none");
    }

    void jlinkFromRegistry()
    {
        QFETCH(QString, root);
        QFETCH(QString, recorded);
        QFETCH(QByteArray, found);
        for (const char* file :
             {"/drive_c/SEGGER/JLink_V794/JLink.exe", "/drive_c/jdk/bin/jlink.exe"}) {
            QFile exe(m_prefix + file);
            QVERIFY(QDir().mkpath(QFileInfo(exe).path()) && exe.open(QIODevice::WriteOnly));
        }
        const QString key = "\\Software\\SEGGER\\J-Link";
        QProcess reg;
        for (const char* earlier : {"HKCU", "HKLM"})
            wine(reg, kWine, {"reg", "delete", earlier + key, "/f"}, 60000);
        if (!root.isEmpty()) {
            QVERIFY(wine(reg, kWine,
                         {"reg", "add", root + key, "/v", "InstallPath", "/d", recorded, "/f"},
                         60000));
            QCOMPARE(reg.exitCode(), 0);
        }
        QProcess p;
        QVERIFY(wine(p, kWine, {kJLinkDriver}, 60000));
        QCOMPARE(p.readAllStandardOutput().trimmed(), found);
    }
};

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
