// The device search over many restarts: every production run finds the device again after the
// previous run restarted it (its port goes away and comes back as a new one), and no run leaves a
// descriptor behind.
#include <QLoggingCategory>
#include <QtTest>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

class TestSoak : public QObject
{
    Q_OBJECT
private slots:
    void restartCycles();
};

void TestSoak::restartCycles()
{
    constexpr int kCycles = 500;
    // 500 runs of debug traces say nothing a failure would not.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));

    Bench bench;
    setStationDir(bench.station());
    QVERIFY(writeFile(bench.station() + "/Production/production_files.cfg", QByteArray()));
    devsim::Config config = bench.config();
    config.rebootDelayMs = 20;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    const QString found = "4Found device connected to " + QString::fromStdString(device->portPath());

    // One run to take whatever the first port listing keeps for good; the last run restarts
    // the device, so its count is taken with the port back.
    int descriptors = -1;
    for (int cycle = 0; cycle <= kCycles; ++cycle) {
        if (cycle == 1) {
            QTRY_VERIFY_WITH_TIMEOUT(device->plugged(), 3000);
            descriptors = openDescriptors();
        }
        Logger_c logger;
        Flashing_c worker(cycle, false, "/Production/", false, &logger);
        // A run that meets the old port just before it goes waits out one capped query.
        worker.protocol()->setTimeoutLimitMs(300);
        Recorder recorder;
        recorder.attach(logger);
        recorder.attach(worker);
        DelayedStop watchdog(worker, {}, 10000);
        worker.runProduction();
        watchdog.cancel();

        QVERIFY2(recorder.finishes == QList<bool>{true},
                 qPrintable(QString("cycle %1:\n%2").arg(cycle).arg(recorder.log.join('\n'))));
        QVERIFY2(recorder.log.contains(found), qPrintable(QString("cycle %1").arg(cycle)));
        QVERIFY(!worker.protocol()->portOpen());
    }

    QCOMPARE(device->rebootCount(), kCycles + 1);
    QTRY_VERIFY_WITH_TIMEOUT(device->plugged(), 3000);
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(opensAgain(device->portPath()));
}

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
