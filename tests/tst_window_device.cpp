#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "mainwindow.h"
#include "prod_fixture.h"
#include "progress.h"

using namespace prodtest;

// Production runs started from the window's button against the simulated device: what the
// operator typed and ticked reaches the device, and the window ends the run as the device allows.
class tst_WindowDevice : public QObject
{
    Q_OBJECT
private slots:
    void productionRun_data();
    void productionRun();
    void closeDuringSilentDeletion();
    void retestPassesTheBootloaderOver();
};

void tst_WindowDevice::productionRun_data()
{
    QTest::addColumn<bool>("setDeviceId");
    QTest::addColumn<bool>("autoIncrement");
    QTest::addColumn<double>("typed");
    QTest::addColumn<quint64>("inDevice");
    QTest::addColumn<double>("after");
    QTest::addColumn<QString>("lastLine");
    const QString macs = QStringLiteral("WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F");
    QTest::newRow("id written, auto increment")
        << true << true << 41.0 << quint64(41) << 42.0 << macs;
    QTest::newRow("id written, eleven digits")
        << true << false << 99999999998.0 << quint64(99999999998) << 99999999998.0 << macs;
    QTest::newRow("id not written")
        << false << true << 41.0 << quint64(77) << 42.0
        << QStringLiteral("Firmware downloding is complete");
}

void tst_WindowDevice::productionRun()
{
    QFETCH(bool, setDeviceId);
    QFETCH(bool, autoIncrement);
    QFETCH(double, typed);
    QFETCH(quint64, inDevice);
    QFETCH(double, after);
    QFETCH(QString, lastLine);

    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Config config = bench.config();
    config.deviceId = 77;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);

    MainWindow w;
    w.show();
    auto* id = w.findChild<QDoubleSpinBox*>("m_editProdID");
    auto* start = w.findChild<QPushButton*>("m_buttonAuto_2");
    auto* view = w.findChild<QTextEdit*>("m_Log_2");
    id->setValue(typed);
    w.findChild<QCheckBox*>("m_boxSetProdSerial")->setChecked(setDeviceId);
    w.findChild<QCheckBox*>("m_boxAutoIncProdSerial")->setChecked(autoIncrement);

    start->click();
    QVERIFY(!start->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 30000);

    QCOMPARE(device->deviceId(), inDevice);
    QCOMPARE(id->value(), after);
    const QTextBlock last = view->document()->lastBlock();
    QCOMPARE(last.text(), lastLine);
    QCOMPARE(last.begin().fragment().charFormat().foreground().color().rgb(), qRgb(0, 128, 0));
    QVERIFY(w.findChild<QTextEdit*>("m_Log")->document()->isEmpty());
    for (QWidget* top : QApplication::topLevelWidgets())
        QVERIFY(!qobject_cast<Progress_c*>(top));
}

void tst_WindowDevice::closeDuringSilentDeletion()
{
    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    device->setFault(0x05, {devsim::ErrorMode::NoAnswer, 0, -1});

    MainWindow w;
    w.show();
    w.findChild<QPushButton*>("m_retest")->click();
    // The deletion waits up to 60 s for its answer; closing the window must not.
    QVERIFY(device->waitForRequests(0x05, 1, 10000));
    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.close());
    QVERIFY2(closing.elapsed() < 3000, qPrintable(QString::number(closing.elapsed())));
    QCOMPARE(w.findChild<QTextEdit*>("m_Log")->toPlainText().split('\n').last(),
             QStringLiteral("Firmware version isVELTORA-FW 3.2.0"));
    QTRY_VERIFY_WITH_TIMEOUT(opensAgain(device->portPath()), 5000);
}

// The re-test always sends a device waiting in its bootloader on to its firmware; the box
// "Skip the dootloader" is for production only.
void tst_WindowDevice::retestPassesTheBootloaderOver()
{
    Bench bench;
    QVERIFY(bench.useExampleStation());
    devsim::Config config = bench.config();
    config.bootloader = true;
    devsim::Device* device = bench.start(config);
    QVERIFY(device);
    QVERIFY(writeFile(bench.fsRoot() + "/testres.bin", "previous results"));

    MainWindow w;
    w.show();
    w.findChild<QCheckBox*>("m_BootLdrCheck")->setChecked(false);
    auto* start = w.findChild<QPushButton*>("m_retest");
    start->click();
    // Taken in its bootloader, the device would leave the deletion unanswered for 60 s.
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 10000);
    QCOMPARE(w.findChild<QTextEdit*>("m_Log")->document()->lastBlock().text(),
             QStringLiteral("Test history has been deleted successfully"));
}

QTEST_MAIN(tst_WindowDevice)
#include "tst_window_device.moc"
