#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include "prod_fixture.h"

using namespace prodtest;

// veltora-devsim started by hand or by a script: ready line, plug-in, clean shutdown.
class tst_DevsimCli : public QObject
{
    Q_OBJECT

private:
    Bench m_bench;

    QByteArray ports() const { return readAll(m_bench.portsFile()); }

    // Starts the simulator; returns the one line it prints when the device is ready.
    QByteArray start(QProcess& p, const QStringList& extra)
    {
        p.start(QStringLiteral(DEVSIM_PATH), QStringList{"--dir", m_bench.path()} + extra);
        QDeadlineTimer deadline(5000);
        while (!p.canReadLine() && !deadline.hasExpired() && p.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        return p.readLine();
    }

    void stop(QProcess& p)
    {
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
    }

private slots:
    void plugsInAndCleansUp()
    {
        QVERIFY(writeFile(m_bench.portsFile(), "# bench\n/dev/ttyACM9 0x1915\n"));
        QProcess p;
        const QString link = m_bench.path() + "/ttyCLI";
        QCOMPARE(start(p, {"--link-name", "ttyCLI", "--vendor-id", "6421", "--fault", "0x0b:delay:50:2"}),
                 link.toUtf8() + "\n");
        QCOMPARE(ports(), "# bench\n/dev/ttyACM9 0x1915\n" + link.toUtf8() + " 0x1915\n");
        QVERIFY(QFileInfo(link).symLinkTarget().startsWith("/dev/pts/"));
        stop(p);
        QCOMPARE(ports(), QByteArray("# bench\n/dev/ttyACM9 0x1915\n"));
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void unpluggedUntilReset()
    {
        QVERIFY(writeFile(m_bench.portsFile(), ""));
        QProcess p;
        const QString link = m_bench.path() + "/ttyLATE";
        QCOMPARE(start(p, {"--link-name", "ttyLATE", "--unplugged", "--reboot-delay", "10"}), link.toUtf8() + "\n");
        QCOMPARE(ports(), QByteArray());
        QVERIFY(!QFileInfo::exists(link));

        QVERIFY(writeFile(link + ".reset", ""));
        QTRY_COMPARE_WITH_TIMEOUT(ports(), link.toUtf8() + " 0x2c0d\n", 5000);
        QVERIFY(!QFile::exists(link + ".reset"));
        stop(p);
        QCOMPARE(ports(), QByteArray());
    }

    void badOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("help") << QStringList{"--help"} << 0;
        QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2;
        QTest::newRow("missing value") << QStringList{"--reboot-delay"} << 2;
        QTest::newRow("bad fault mode") << QStringList{"--fault", "3:explode"} << 2;
        QTest::newRow("bad fault code") << QStringList{"--fault", "300:no-answer"} << 2;
        QTest::newRow("bad vendor id") << QStringList{"--vendor-id", "0x12345"} << 2;
        QTest::newRow("bad mac") << QStringList{"--wifi-mac", "00:11:22"} << 2;
    }

    void badOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        QProcess p;
        start(p, args);
        QVERIFY(p.state() == QProcess::NotRunning || p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), exitCode);
    }
};

QTEST_GUILESS_MAIN(tst_DevsimCli)
#include "tst_devsim_cli.moc"
