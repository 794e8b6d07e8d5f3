#include "prod_fixture.h"

#include <QProcess>
#include <QtTest>

using namespace prodtest;

// The stand-in commander as the tool runs it: "<station>/JLinkExe -commanderscript
// TestFiles//flashing-sequence.jlink" in the station folder. Hangs and exit codes from the
// environment are covered where the test run meets them.
class tst_FakeJlink : public QObject
{
    Q_OBJECT

private:
    Bench m_bench;

    static QByteArray script(const QByteArray& image)
    {
        return "si SWD\nspeed auto\ndevice nRF52840_xxAA\nloadfile \"TestFiles//" + image + "\"\nr\ng\nqc\n";
    }

    QByteArray logLines() const { return readAll(m_bench.station() + "/TestFiles/fake-jlink.log"); }

    int run(const QByteArray& scriptBytes, const QString& variable = QString(), const QString& value = QString())
    {
        if (!writeFile(m_bench.station() + "/TestFiles/flashing-sequence.jlink", scriptBytes))
            return -3000;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& key : env.keys().filter(QRegularExpression("^VELTORA_FAKE_JLINK_")))
            env.remove(key);
        if (!variable.isEmpty())
            env.insert(variable, value);
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(m_bench.station());
        p.start(m_bench.station() + "/JLinkExe", {"-commanderscript", "TestFiles//flashing-sequence.jlink"});
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished(5000);
            return -1000;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2000;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile(m_bench.station() + "/TestFiles/radio.hex", ":00000001FF\n"));
        QVERIFY(writeFile(m_bench.station() + "/TestFiles/bild-\xc3\xa4.hex", ":00000001FF\n"));
        // Installed under the commander's name, as a symlink: its settings file is the station's.
        QVERIFY(QFile::link(QStringLiteral(FAKE_JLINK_PATH), m_bench.station() + "/JLinkExe"));
    }

    void init()
    {
        QFile::remove(m_bench.station() + "/TestFiles/fake-jlink.log");
        QFile::remove(m_bench.station() + "/fake-jlink.conf");
    }

    void scripts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("log");

        QTest::newRow("good") << script("radio.hex") << 0 << QByteArray("ok TestFiles//radio.hex\n");
        QTest::newRow("utf-8 name") << script("bild-\xc3\xa4.hex") << 0
                                    << QByteArray("ok TestFiles//bild-\xc3\xa4.hex\n");
        QTest::newRow("image missing") << script("gone.hex") << 3 << QByteArray("no-image TestFiles//gone.hex\n");
        QTest::newRow("CR LF") << script("radio.hex").replace("\n", "\r\n") << 2 << QByteArray("bad-script ");
        QTest::newRow("other chip") << script("radio.hex").replace("nRF52840_xxAA", "nRF52832_xxAA") << 2
                                    << QByteArray("bad-script ");
        QTest::newRow("empty file") << QByteArray() << 2 << QByteArray("bad-script ");
    }

    void scripts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, log);
        QCOMPARE(run(bytes), exitCode);
        const QByteArray lines = logLines();
        if (exitCode == 2)
            QVERIFY2(lines.startsWith(log) && lines.count('\n') == 1, lines.constData());
        else
            QCOMPARE(lines, log);
    }

    void exitCodeSettings_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("envExit");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("settings file") << QByteArray("# station\nexit = 5\n") << QString() << 5;
        QTest::newRow("environment wins") << QByteArray("exit=5\n") << "0" << 0;
    }

    void exitCodeSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, envExit);
        QFETCH(int, exitCode);
        QVERIFY(writeFile(m_bench.station() + "/fake-jlink.conf", conf));
        QCOMPARE(run(script("radio.hex"), envExit.isNull() ? QString() : "VELTORA_FAKE_JLINK_EXIT", envExit),
                 exitCode);
        QCOMPARE(logLines(), QByteArray("ok TestFiles//radio.hex\n"));
    }

    void resetsSimulatedDevice_data()
    {
        QTest::addColumn<bool>("waitBack");
        QTest::newRow("gone when it ends") << false;
        QTest::newRow("back before it ends") << true;
    }

    // After programming, the device restarts: its port is gone when the commander ends and
    // comes back (as a new pseudo-terminal) after the device's reboot time, or, told to wait for
    // it, is listed again before the commander ends.
    void resetsSimulatedDevice()
    {
        QFETCH(bool, waitBack);
        devsim::Config config = m_bench.config(waitBack ? 1 : 0);  // the bench keeps every device
        config.rebootDelayMs = 50;
        devsim::Device* device = m_bench.start(config);
        QVERIFY(device && device->plugged());
        const int plugs = device->plugCount();
        const QString trigger = QString::fromStdString(device->resetTriggerPath());
        const QByteArray line = QByteArray(device->portPath().c_str()) + " 0x2c0d\n";
        if (waitBack)
            QVERIFY(writeFile(m_bench.station() + "/fake-jlink.conf",
                              "reset-back=" + QByteArray(device->portPath().c_str()) + "\n"));

        QCOMPARE(run(script("radio.hex"), "VELTORA_FAKE_JLINK_RESET", trigger), 0);
        QCOMPARE(readAll(m_bench.portsFile()).contains(line), waitBack);
        QVERIFY(!QFile::exists(trigger));
        QTRY_VERIFY_WITH_TIMEOUT(device->plugged(), 5000);
        QCOMPARE(device->plugCount(), plugs + 1);
        QVERIFY(readAll(m_bench.portsFile()).contains(line));
    }
};

QTEST_GUILESS_MAIN(tst_FakeJlink)
#include "tst_fake_jlink.moc"
