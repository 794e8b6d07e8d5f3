#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// veltora-devsim started by hand or by a script: ready line, plug-in, clean shutdown.
class tst_DevsimCli : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QByteArray ports() const
    {
        QFile f(m_dir.filePath("ports"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    void writePorts(const QByteArray& bytes)
    {
        QFile f(m_dir.filePath("ports"));
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }

    void start(QProcess& p, const QStringList& extra)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELTORA_EXTRA_PORTS", m_dir.filePath("ports"));
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(DEVSIM_PATH), QStringList {"--dir", m_dir.path()} + extra);
        QVERIFY(p.waitForStarted(5000));
    }

    // The one line printed when the device is ready.
    QByteArray readyLine(QProcess& p)
    {
        QDeadlineTimer deadline(5000);
        while (!p.canReadLine() && !deadline.hasExpired())
            p.waitForReadyRead(int(deadline.remainingTime()));
        return p.readLine();
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void plugsInAndCleansUp()
    {
        writePorts("# bench\n/dev/ttyACM9 0x1915\n");
        QProcess p;
        start(p, {"--link-name", "ttyCLI", "--vendor-id", "6421"});
        const QString link = m_dir.filePath("ttyCLI");
        QCOMPARE(readyLine(p), link.toUtf8() + "\n");
        QCOMPARE(ports(), "# bench\n/dev/ttyACM9 0x1915\n" + link.toUtf8() + " 0x1915\n");
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(QFileInfo(link).symLinkTarget().startsWith("/dev/pts/"));

        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(ports(), QByteArray("# bench\n/dev/ttyACM9 0x1915\n"));
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void unpluggedUntilReset()
    {
        writePorts("");
        QProcess p;
        start(p, {"--link-name", "ttyLATE", "--unplugged", "--reboot-delay", "10"});
        const QString link = m_dir.filePath("ttyLATE");
        QCOMPARE(readyLine(p), link.toUtf8() + "\n");
        QCOMPARE(ports(), QByteArray());
        QVERIFY(!QFileInfo::exists(link));

        QFile trigger(link + ".reset");
        QVERIFY(trigger.open(QIODevice::WriteOnly));
        trigger.close();
        QTRY_COMPARE_WITH_TIMEOUT(ports(), link.toUtf8() + " 0x2c0d\n", 5000);
        QVERIFY(!trigger.exists());

        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(ports(), QByteArray());
    }

    void plugDelay()
    {
        writePorts("");
        QProcess p;
        start(p, {"--link-name", "ttySLOW", "--plug-delay", "100", "--fault", "0x0b:delay:50:2"});
        const QString link = m_dir.filePath("ttySLOW");
        QCOMPARE(readyLine(p), link.toUtf8() + "\n");
        QTRY_COMPARE_WITH_TIMEOUT(ports(), link.toUtf8() + " 0x2c0d\n", 5000);
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(ports(), QByteArray());
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("help") << QStringList {"--help"} << 0;
        QTest::newRow("unknown option") << QStringList {"--frobnicate"} << 2;
        QTest::newRow("missing value") << QStringList {"--reboot-delay"} << 2;
        QTest::newRow("bad fault mode") << QStringList {"--fault", "3:explode"} << 2;
        QTest::newRow("bad fault code") << QStringList {"--fault", "300:no-answer"} << 2;
        QTest::newRow("bad vendor id") << QStringList {"--vendor-id", "0x12345"} << 2;
        QTest::newRow("bad mac") << QStringList {"--wifi-mac", "00:11:22"} << 2;
    }

    void badOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QProcess p;
        start(p, args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), exitCode);
    }
};

QTEST_GUILESS_MAIN(tst_DevsimCli)
#include "tst_devsim_cli.moc"
