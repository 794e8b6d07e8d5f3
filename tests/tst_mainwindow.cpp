// The operator's window: the log lines as shown, which widgets feed a run, and how the window
// starts and ends runs, against the real run bodies with no device or the simulated one.
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "mainwindow.h"
#include "prod_fixture.h"
#include "progress.h"

using namespace prodtest;

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup() { m_bench.reset(); }
    void logLines_data();
    void logLines();
    void logViewsReadOnly_data();
    void logViewsReadOnly();
    void noListFileEndsRunInRed_data();
    void noListFileEndsRunInRed();
    void closeDuringDeviceSearch_data();
    void closeDuringDeviceSearch();
    void stepUpAfterSuccess_data();
    void stepUpAfterSuccess();
    void runOnDevice_data();
    void runOnDevice();
    void closeDuringSilentDeletion();

private:
    static int mode(const MainWindow& w) { return w.mode; }
    static void setMode(MainWindow& w, int mode) { w.mode = mode; }
    static bool runObjectsGone(const MainWindow& w)
    {
        return !w.flashingWorker && !w.progressDialog && !w.workerThread.isRunning();
    }
    void writeEmptyLists()
    {
        QVERIFY(writeFile(m_bench->station() + "/Production/production_files.cfg", {}));
        QVERIFY(writeFile(m_bench->station() + "/TestFiles/test_files.cfg", {}));
    }

    std::unique_ptr<Bench> m_bench;
};

namespace {

using Line = QPair<QString, QRgb>;
const QRgb black = qRgb(0, 0, 0);
const QRgb red = qRgb(255, 0, 0);
const QRgb blue = qRgb(0, 0, 255);
const QRgb green = qRgb(0, 128, 0);

template <typename T = QPushButton> T* child(const MainWindow& w, const QString& name)
{
    T* widget = w.findChild<T*>(name);
    if (!widget)
        qFatal("no widget %s", qPrintable(name));
    return widget;
}

// Every line of a log view with the colour it is shown in.
QList<Line> coloured(const QTextEdit* view)
{
    QList<Line> out;
    if (view->document()->isEmpty())
        return out;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next()) {
        QRgb c = b.charFormat().foreground().color().rgb();
        if (b.begin() != b.end())
            c = b.begin().fragment().charFormat().foreground().color().rgb();
        out << Line(b.text(), c);
    }
    return out;
}

QList<Progress_c*> progressWindows()
{
    QList<Progress_c*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<Progress_c*>(w))
            out << p;
    return out;
}

bool startButtonsEnabled(const MainWindow& w, bool enabled)
{
    for (const char* name : {"m_buttonAuto", "m_retest", "m_buttonAuto_2"})
        if (child(w, name)->isEnabled() != enabled)
            return false;
    return true;
}

} // namespace

void tst_MainWindow::init()
{
    m_bench = std::make_unique<Bench>();
    setStationDir(m_bench->station());
}

void tst_MainWindow::logLines_data()
{
    QTest::addColumn<int>("runMode");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<QString>("view");
    // A run writes into its own tab's view; between runs a line goes to the tab in front, and
    // from the Manual tab (no view) to the Production one.
    QTest::newRow("0 black, production run") << 2 << 0 << "0Half way"
                                             << "Half way" << black << "m_Log_2";
    QTest::newRow("1 red, test run") << 1 << 1 << "1Failed"
                                     << "Failed" << red << "m_Log";
    QTest::newRow("2 yellow, no run, test tab") << 0 << 0 << "2Warned"
                                                << "Warned" << qRgb(255, 255, 0) << "m_Log";
    QTest::newRow("3 blue, no run, production tab") << 0 << 1 << "3Device ID: 17"
                                                    << "Device ID: 17" << blue << "m_Log_2";
    QTest::newRow("4 green, no run, manual tab") << 0 << 2 << "4Flashed"
                                                 << "Flashed" << green << "m_Log_2";
    QTest::newRow("unknown code") << 1 << 0 << "9Nine"
                                  << "Nine" << black << "m_Log";
    QTest::newRow("markup stays text") << 2 << 1 << "1<b>Firmware</b> <i>3.2</i>"
                                       << "<b>Firmware</b> <i>3.2</i>" << red << "m_Log_2";
}

void tst_MainWindow::logLines()
{
    QFETCH(int, runMode);
    QFETCH(int, tab);
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QFETCH(QRgb, colour);
    QFETCH(QString, view);
    MainWindow w;
    child<QTabWidget>(w, "m_tabMode")->setCurrentIndex(tab);
    setMode(w, runMode);
    w.Log(QStringLiteral("3Earlier line"));
    // The operator has selected the earlier line: the next line must not recolour it.
    auto* target = child<QTextEdit>(w, view);
    QTextCursor selection(target->document());
    selection.select(QTextCursor::LineUnderCursor);
    target->setTextCursor(selection);
    w.Log(line);

    QCOMPARE(coloured(target), QList<Line>({{"Earlier line", blue}, {shown, colour}}));
    QVERIFY(child<QTextEdit>(w, view == "m_Log" ? "m_Log_2" : "m_Log")->document()->isEmpty());
}

void tst_MainWindow::logViewsReadOnly_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("cleared");
    QTest::addColumn<QString>("kept");
    QTest::newRow("test tab") << "m_clearLog"
                              << "m_Log"
                              << "m_Log_2";
    QTest::newRow("production tab") << "m_clearLog_2"
                                    << "m_Log_2"
                                    << "m_Log";
}

// Keys typed into a log change nothing; Clear log empties its own tab's log only.
void tst_MainWindow::logViewsReadOnly()
{
    QFETCH(QString, button);
    QFETCH(QString, cleared);
    QFETCH(QString, kept);
    MainWindow w;
    for (int runMode : {1, 2}) {
        setMode(w, runMode);
        w.Log(QStringLiteral("1Error while getting the files list"));
    }
    setMode(w, 0);
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto* view = child<QTextEdit>(w, cleared);
    child<QTabWidget>(w, "m_tabMode")->setCurrentWidget(view->parentWidget());
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("x"));
    QCOMPARE(view->toPlainText(), QStringLiteral("Error while getting the files list"));
    child(w, button)->click();
    QVERIFY(view->document()->isEmpty());
    QCOMPARE(child<QTextEdit>(w, kept)->toPlainText(),
             QStringLiteral("Error while getting the files list"));
}

void tst_MainWindow::noListFileEndsRunInRed_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("runMode");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("otherView");
    QTest::newRow("production") << "m_buttonAuto_2" << 2 << "m_Log_2"
                                << "m_Log";
    QTest::newRow("test") << "m_buttonAuto" << 1 << "m_Log"
                          << "m_Log_2";
}

void tst_MainWindow::noListFileEndsRunInRed()
{
    QFETCH(QString, button);
    QFETCH(int, runMode);
    QFETCH(QString, view);
    QFETCH(QString, otherView);
    MainWindow w;
    w.show();
    auto* prodId = child<QDoubleSpinBox>(w, "m_editProdID");
    child<QCheckBox>(w, "m_boxAutoIncProdSerial")->setChecked(true);
    prodId->setValue(41);

    const QList<Line> oneRun = {
        {"Applying the default file list", black},
        {"Error while opening the list of flashing files", red},
        {"Error while getting the files list", red},
    };
    // Twice: the same worker thread serves the next run.
    for (int run = 1; run <= 2; ++run) {
        child(w, button)->click();
        QCOMPARE(mode(w), runMode);
        QVERIFY(startButtonsEnabled(w, false));
        QCOMPARE(progressWindows().size(), 1);
        QVERIFY(progressWindows().first()->isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(mode(w), 0, 10000);
        QVERIFY(runObjectsGone(w));
        QVERIFY(progressWindows().isEmpty());
        QVERIFY(startButtonsEnabled(w, true));
        QCOMPARE(coloured(child<QTextEdit>(w, view)).mid(3 * (run - 1)), oneRun);
        QVERIFY(child<QTextEdit>(w, otherView)->document()->isEmpty());
        // A failed run never steps the Device ID up.
        QCOMPARE(prodId->value(), 41.0);
    }
}

void tst_MainWindow::closeDuringDeviceSearch_data()
{
    QTest::addColumn<QString>("button");
    QTest::newRow("production") << "m_buttonAuto_2";
    QTest::newRow("test") << "m_buttonAuto";
    QTest::newRow("re-test") << "m_retest";
}

void tst_MainWindow::closeDuringDeviceSearch()
{
    QFETCH(QString, button);
    writeEmptyLists();
    MainWindow w;
    w.show();
    child(w, button)->click();
    const int runMode = mode(w);
    QVERIFY(runMode != 0);
    QCOMPARE(progressWindows().size(), 1);
    Progress_c* dialog = progressWindows().first();
    auto* label = dialog->findChild<QLabel*>("labelSearch");
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Searching for the device's COM port"),
                              10000);
    // Run texts carry device-supplied parts: shown as they are, never as markup.
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QVERIFY(startButtonsEnabled(w, false));

    // Cancel only hides the dialog; the run goes on.
    dialog->findChild<QPushButton*>("BtnCancel")->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(mode(w), runMode);
    QVERIFY(w.workerThread.isRunning());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(w.close());
    // A hang guard, far above the one poll interval that ending the search takes.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(mode(w), 0);
    QVERIFY(runObjectsGone(w));
    QVERIFY(progressWindows().isEmpty());
}

void tst_MainWindow::stepUpAfterSuccess_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("autoIncrement");
    QTest::addColumn<bool>("success");
    QTest::addColumn<double>("after");
    QTest::newRow("production, success, auto") << "m_buttonAuto_2" << true << true << 42.0;
    QTest::newRow("production, success, manual") << "m_buttonAuto_2" << false << true << 41.0;
    QTest::newRow("production, failure, auto") << "m_buttonAuto_2" << true << false << 41.0;
    QTest::newRow("re-test, success, auto") << "m_retest" << true << true << 42.0;
}

void tst_MainWindow::stepUpAfterSuccess()
{
    QFETCH(QString, button);
    QFETCH(bool, autoIncrement);
    QFETCH(bool, success);
    QFETCH(double, after);
    writeEmptyLists();
    MainWindow w;
    w.show();
    auto* prodId = child<QDoubleSpinBox>(w, "m_editProdID");
    prodId->setValue(41);
    child<QCheckBox>(w, "m_boxAutoIncProdSerial")->setChecked(autoIncrement);
    // The operator types the Device ID only when it does not step up by itself.
    QCOMPARE(prodId->isEnabled(), !autoIncrement);

    child(w, button)->click();
    QVERIFY(mode(w) != 0);
    QVERIFY(QMetaObject::invokeMethod(&w, "on_flashingFinished", Qt::DirectConnection,
                                      Q_ARG(bool, success)));
    QCOMPARE(mode(w), 0);
    QVERIFY(runObjectsGone(w));
    QVERIFY(startButtonsEnabled(w, true));
    QCOMPARE(prodId->value(), after);

    // A second end for the same run changes nothing.
    QVERIFY(QMetaObject::invokeMethod(&w, "on_flashingFinished", Qt::DirectConnection,
                                      Q_ARG(bool, true)));
    QCOMPARE(prodId->value(), after);
}

void tst_MainWindow::runOnDevice_data()
{
    QTest::addColumn<bool>("test");        // else production
    QTest::addColumn<double>("typed");     // the run's own tab; the other tab holds 99
    QTest::addColumn<bool>("setDeviceId"); // the run's own tab; the other tab the opposite
    QTest::addColumn<bool>("autoIncrement");
    QTest::addColumn<quint64>("inDevice");
    QTest::addColumn<double>("prodIdAfter");
    QTest::addColumn<QString>("lastLine");
    const QString macs = "WiFi MAC: 00:1A:2B:3C:4D:5E, Ethernet MAC: 00:1A:2B:3C:4D:5F";
    const QString complete = "Firmware downloding is complete";
    QTest::newRow("production, id written, auto increment")
        << false << 41.0 << true << true << quint64(41) << 42.0 << macs;
    QTest::newRow("production, eleven digits")
        << false << 99999999998.0 << true << false << quint64(99999999998) << 99999999998.0 << macs;
    QTest::newRow("production, id not written")
        << false << 41.0 << false << true << quint64(77) << 42.0 << complete;
    QTest::newRow("test, id written")
        << true << 41.0 << true << true << quint64(41) << 100.0 << complete;
    QTest::newRow("test, id not written")
        << true << 41.0 << false << false << quint64(77) << 99.0 << complete;
}

// What the operator typed and ticked on the run's own tab reaches the device; the other tab's
// widgets do not.
void tst_MainWindow::runOnDevice()
{
    QFETCH(bool, test);
    QFETCH(double, typed);
    QFETCH(bool, setDeviceId);
    QFETCH(bool, autoIncrement);
    QFETCH(quint64, inDevice);
    QFETCH(double, prodIdAfter);
    QFETCH(QString, lastLine);

    QVERIFY(m_bench->useExampleStation());
    QVERIFY(writeFile(m_bench->station() + "/TestFiles/test_files.cfg", "c:testcfg.txt\r\n"));
    devsim::Config config = m_bench->config();
    config.deviceId = 77;
    // The test run takes only a port that appears after its search has listed the ports.
    config.pluggedAtStart = !test;
    devsim::Device* device = m_bench->start(config);
    QVERIFY(device);
    DebugCapture debug;
    if (test)
        debug.watch("Connecting device waiting box signal result", [device] { device->plug(); });

    MainWindow w;
    w.show();
    const QString own = test ? "" : "Prod";
    const QString other = test ? "Prod" : "";
    child<QDoubleSpinBox>(w, "m_edit" + own + "ID")->setValue(typed);
    child<QDoubleSpinBox>(w, "m_edit" + other + "ID")->setValue(99);
    child<QCheckBox>(w, "m_boxSet" + own + "Serial")->setChecked(setDeviceId);
    child<QCheckBox>(w, "m_boxSet" + other + "Serial")->setChecked(!setDeviceId);
    child<QCheckBox>(w, "m_boxAutoIncProdSerial")->setChecked(autoIncrement);
    auto* start = child(w, test ? "m_buttonAuto" : "m_buttonAuto_2");

    start->click();
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 30000);
    QCOMPARE(device->deviceId(), inDevice);
    QCOMPARE(child<QDoubleSpinBox>(w, "m_editProdID")->value(), prodIdAfter);
    QCOMPARE(coloured(child<QTextEdit>(w, test ? "m_Log" : "m_Log_2")).last(),
             Line(lastLine, green));
}

void tst_MainWindow::closeDuringSilentDeletion()
{
    QVERIFY(m_bench->useExampleStation());
    devsim::Device* device = m_bench->start(m_bench->config());
    QVERIFY(device);
    device->setFault(0x05, {devsim::ErrorMode::NoAnswer, 0, -1});

    MainWindow w;
    w.show();
    child(w, "m_retest")->click();
    // The deletion waits up to 60 s for its answer; closing the window must not.
    QVERIFY(device->waitForRequests(0x05, 1, 10000));
    QElapsedTimer closing;
    closing.start();
    QVERIFY(w.close());
    QVERIFY2(closing.elapsed() < 3000, qPrintable(QString::number(closing.elapsed())));
    // A stopped run ends without a red line, and lets go of the port.
    QCOMPARE(coloured(child<QTextEdit>(w, "m_Log")).last(),
             Line("Firmware version isVELTORA-FW 3.2.0", green));
    QTRY_VERIFY_WITH_TIMEOUT(opensAgain(device->portPath()), 5000);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
