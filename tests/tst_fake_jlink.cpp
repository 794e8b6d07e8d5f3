#include "devsim.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The stand-in commander as the tool runs it: "<station>/JLinkExe -commanderscript
// TestFiles//flashing-sequence.jlink" in the station folder.
class tst_FakeJlink : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_station;

    static QByteArray script(const QByteArray& image)
    {
        return "si SWD\nspeed auto\ndevice nRF52840_xxAA\nloadfile \"TestFiles//" + image
               + "\"\nr\ng\nqc\n";
    }

    void writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), qint64(bytes.size()));
    }

    QByteArray logLines() const
    {
        QFile f(m_station + "/TestFiles/fake-jlink.log");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void startCommander(QProcess& p, const QProcessEnvironment& env = QProcessEnvironment())
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const QString& key : e.keys()) {
            if (key.startsWith("VELTORA_FAKE_JLINK_"))
                e.remove(key);
        }
        for (const QString& key : env.keys())
            e.insert(key, env.value(key));
        p.setProcessEnvironment(e);
        p.setWorkingDirectory(m_station);
        p.start(m_station + "/JLinkExe", {"-commanderscript", "TestFiles//flashing-sequence.jlink"});
        QVERIFY(p.waitForStarted(5000));
    }

    int run(const QByteArray& scriptBytes, const QProcessEnvironment& env = QProcessEnvironment())
    {
        writeFile(m_station + "/TestFiles/flashing-sequence.jlink", scriptBytes);
        QProcess p;
        startCommander(p, env);
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
        QVERIFY(m_dir.isValid());
        m_station = m_dir.path();
        QVERIFY(QDir(m_station).mkdir("TestFiles"));
        writeFile(m_station + "/TestFiles/radio.hex", ":00000001FF\n");
        writeFile(m_station + "/TestFiles/" + QString::fromUtf8("bild-\xc3\xa4.hex"), ":00000001FF\n");
        // Installed under the commander's name, as a symlink: its settings file is the station's.
        QVERIFY(QFile::link(QStringLiteral(FAKE_JLINK_PATH), m_station + "/JLinkExe"));
    }

    void init()
    {
        QFile::remove(m_station + "/TestFiles/fake-jlink.log");
        QFile::remove(m_station + "/fake-jlink.conf");
    }

    void scripts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("log");

        QTest::newRow("good") << script("radio.hex") << 0 << QByteArray("ok TestFiles//radio.hex\n");
        QTest::newRow("utf-8 name") << script("bild-\xc3\xa4.hex") << 0
                                    << QByteArray("ok TestFiles//bild-\xc3\xa4.hex\n");
        QTest::newRow("image missing") << script("gone.hex") << 3
                                       << QByteArray("no-image TestFiles//gone.hex\n");

        const QByteArray bad = "bad-script ";
        QByteArray crlf = script("radio.hex");
        crlf.replace("\n", "\r\n");
        QTest::newRow("CR LF") << crlf << 2 << bad;
        QTest::newRow("no last line feed") << script("radio.hex").chopped(1) << 2 << bad;
        QTest::newRow("extra line") << script("radio.hex") + "exit\n" << 2 << bad;
        QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + script("radio.hex") << 2 << bad;
        QTest::newRow("other chip")
            << script("radio.hex").replace("nRF52840_xxAA", "nRF52832_xxAA") << 2 << bad;
        QTest::newRow("one slash")
            << script("radio.hex").replace("TestFiles//", "TestFiles/") << 2 << bad;
        QTest::newRow("empty name") << script("") << 2 << bad;
        QTest::newRow("empty file") << QByteArray() << 2 << bad;
    }

    void scripts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, log);
        QCOMPARE(run(bytes), exitCode);
        const QByteArray lines = logLines();
        if (exitCode == 2) {
            QVERIFY2(lines.startsWith(log) && lines.count('\n') == 1, lines.constData());
        } else {
            QCOMPARE(lines, log);
        }
    }

    void appendsOneLinePerRun()
    {
        QCOMPARE(run(script("radio.hex")), 0);
        QCOMPARE(run(script("gone.hex")), 3);
        QCOMPARE(logLines(), QByteArray("ok TestFiles//radio.hex\nno-image TestFiles//gone.hex\n"));
    }

    void exitCodeSettings_data()
    {
        QTest::addColumn<QByteArray>("conf");
        QTest::addColumn<QString>("envExit");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("environment") << QByteArray() << "7" << 7;
        QTest::newRow("settings file") << QByteArray("# station\nexit = 5\n") << QString() << 5;
        QTest::newRow("environment wins") << QByteArray("exit=5\n") << "0" << 0;
    }

    void exitCodeSettings()
    {
        QFETCH(QByteArray, conf);
        QFETCH(QString, envExit);
        QFETCH(int, exitCode);
        if (!conf.isEmpty())
            writeFile(m_station + "/fake-jlink.conf", conf);
        QProcessEnvironment env;
        if (!envExit.isNull())
            env.insert("VELTORA_FAKE_JLINK_EXIT", envExit);
        QCOMPARE(run(script("radio.hex"), env), exitCode);
        QCOMPARE(logLines(), QByteArray("ok TestFiles//radio.hex\n"));
    }

    void hangsUntilKilled()
    {
        writeFile(m_station + "/TestFiles/flashing-sequence.jlink", script("radio.hex"));
        QProcessEnvironment env;
        env.insert("VELTORA_FAKE_JLINK_HANG", "1");
        QProcess p;
        startCommander(p, env);
        QTRY_COMPARE_WITH_TIMEOUT(logLines(), QByteArray("ok TestFiles//radio.hex\n"), 5000);
        QVERIFY(!p.waitForFinished(200));
        QCOMPARE(p.state(), QProcess::Running);
        p.kill();
        QVERIFY(p.waitForFinished(5000));
    }

    // After programming, the device restarts: its port is gone when the commander ends and
    // comes back (as a new pseudo-terminal) after the device's reboot time.
    void resetsSimulatedDevice()
    {
        devsim::Config config;
        config.dir = m_dir.path().toStdString();
        config.portsFile = m_dir.filePath("ports").toStdString();
        config.fsRoot = m_dir.filePath("fs").toStdString();
        config.linkName = "ttyJLINK";
        config.rebootDelayMs = 50;
        devsim::Device device(config);
        QVERIFY(device.start());
        QVERIFY(device.plugged());
        const int plugs = device.plugCount();

        QProcessEnvironment env;
        env.insert("VELTORA_FAKE_JLINK_RESET", QString::fromStdString(device.resetTriggerPath()));
        QCOMPARE(run(script("radio.hex"), env), 0);
        QVERIFY(!device.plugged());
        QVERIFY(!QFile::exists(QString::fromStdString(device.resetTriggerPath())));
        QTRY_VERIFY_WITH_TIMEOUT(device.plugged(), 5000);
        QCOMPARE(device.plugCount(), plugs + 1);
        QFile ports(config.portsFile.c_str());
        QVERIFY(ports.open(QIODevice::ReadOnly));
        QCOMPARE(ports.readAll(), QByteArray(device.portPath().c_str()) + " 0x2c0d\n");
    }
};

QTEST_GUILESS_MAIN(tst_FakeJlink)
#include "tst_fake_jlink.moc"
