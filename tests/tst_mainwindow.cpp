// The operator's window: the log lines as shown, which widgets feed a run, and how the window
// starts and ends runs, against the real run bodies with no device or the simulated one.
#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
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
    void runWithoutDevice_data();
    void runWithoutDevice();
    void runOnDevice_data();
    void runOnDevice();
    void closeDuringSilentDeletion();

private:
    static bool runObjectsGone(const MainWindow& w)
    {
        return !w.flashingWorker && !w.progressDialog && !w.workerThread.isRunning();
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
    QTest::addColumn<int>("code");
    QTest::addColumn<QRgb>("colour");
    QTest::addColumn<QString>("view");
    // A run writes into its own tab's view; between runs a line goes to the tab in front, and
    // from the Manual tab (no view) to the Production one.
    QTest::newRow("black, production run, test tab shown") << 2 << 0 << 0 << black << "m_Log_2";
    QTest::newRow("red, no run, test tab") << 0 << 0 << 1 << red << "m_Log";
    QTest::newRow("blue, no run, production tab") << 0 << 1 << 3 << blue << "m_Log_2";
    QTest::newRow("green, no run, manual tab") << 0 << 2 << 4 << green << "m_Log_2";
}

void tst_MainWindow::logLines()
{
    QFETCH(int, runMode);
    QFETCH(int, tab);
    QFETCH(int, code);
    QFETCH(QRgb, colour);
    QFETCH(QString, view);
    MainWindow w;
    child<QTabWidget>(w, "m_tabMode")->setCurrentIndex(tab);
    w.mode = runMode;
    w.Log(QStringLiteral("3Earlier line"));
    // The operator has selected the earlier line: the next line must not recolour it.
    auto* target = child<QTextEdit>(w, view);
    QTextCursor selection(target->document());
    selection.select(QTextCursor::LineUnderCursor);
    target->setTextCursor(selection);
    // Device texts in a line are shown as they are, never as markup.
    w.Log(QString::number(code) + "<b>VELTORA-FW</b> 3.2");

    const QList<Line> shownLines = {{"Earlier line", blue}, {"<b>VELTORA-FW</b> 3.2", colour}};
    QCOMPARE(coloured(target), shownLines);
    QVERIFY(child<QTextEdit>(w, view == "m_Log" ? "m_Log_2" : "m_Log")->document()->isEmpty());

    // Keys typed into the log change nothing; its own tab's Clear log empties it.
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    child<QTabWidget>(w, "m_tabMode")->setCurrentWidget(target->parentWidget());
    target->setFocus();
    QTest::keyClicks(target, QStringLiteral("x"));
    QCOMPARE(coloured(target), shownLines);
    child(w, view == "m_Log" ? "m_clearLog" : "m_clearLog_2")->click();
    QVERIFY(target->document()->isEmpty());
}

void tst_MainWindow::runWithoutDevice_data()
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

// A run that fails, then one that searches until the window closes, on the same worker thread.
void tst_MainWindow::runWithoutDevice()
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

    // Without its list the run ends at once, in red, and never steps the Device ID up.
    child(w, button)->click();
    QCOMPARE(w.mode, runMode);
    QVERIFY(startButtonsEnabled(w, false));
    QCOMPARE(progressWindows().size(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(w.mode, 0, 10000);
    QVERIFY(runObjectsGone(w));
    QVERIFY(progressWindows().isEmpty());
    QVERIFY(startButtonsEnabled(w, true));
    const QString list = m_bench->station() + (runMode == 2 ? "/Production/production_files.cfg"
                                                            : "/TestFiles/test_files.cfg");
    QCOMPARE(coloured(child<QTextEdit>(w, view)),
             QList<Line>({{"Applying the default file list", black},
                          {"Error while opening the list of flashing files", red},
                          {"The list " + list + " cannot be read: it does not exist", black},
                          {"Error while getting the files list", red}}));
    // The journal names the red line that ended the run, not the first one.
    QVERIFY(readAll(m_bench->station() + "/Logs/runs.jsonl")
                .contains(R"("error":"Error while getting the files list")"));
    QVERIFY(child<QTextEdit>(w, otherView)->document()->isEmpty());
    QCOMPARE(prodId->value(), 41.0);

    QVERIFY(writeFile(m_bench->station() + "/Production/production_files.cfg", {}));
    QVERIFY(writeFile(m_bench->station() + "/TestFiles/test_files.cfg", {}));
    QVERIFY(QDir().mkpath(m_bench->station() + "/Keys") &&
            QDir().mkpath(m_bench->station() + "/MAC"));
    child(w, button)->click();
    QCOMPARE(progressWindows().size(), 1);
    Progress_c* dialog = progressWindows().first();
    QVERIFY(dialog->isVisible());
    auto* label = dialog->findChild<QLabel*>("labelSearch");
    QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("Searching for the device's COM port"),
                              10000);
    // Run texts carry device-supplied parts: shown as they are, never as markup.
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QVERIFY(startButtonsEnabled(w, false));

    // Cancel only hides the dialog; the run goes on.
    dialog->findChild<QPushButton*>("BtnCancel")->click();
    QVERIFY(!dialog->isVisible());
    QCOMPARE(w.mode, runMode);
    QVERIFY(w.workerThread.isRunning());

    QElapsedTimer timer;
    timer.start();
    QVERIFY(w.close());
    // A hang guard, far above the one poll interval that ending the search takes.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(w.mode, 0);
    QVERIFY(runObjectsGone(w));
    QVERIFY(progressWindows().isEmpty());
    // Its journal entry tells why it ended, whatever ended the run before.
    QVERIFY(readAll(m_bench->station() + "/Logs/runs.jsonl")
                .contains(R"("stop_cause":"window closed")"));
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
    QVERIFY(writeFile(m_bench->station() + "/TestFiles/test_files.cfg",
                      "j:nrf52840_test.hex\r\nc:testcfg.txt\r\n"));
    // The test run programs through the probe the station names.
    QVERIFY(QFile::link(VELTORA_FAKE_JLINK, m_bench->station() + "/JLinkExe"));
    qputenv("VELTORA_JLINK_SERIAL", " 801012345\n");
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
    auto* prodId = child<QDoubleSpinBox>(w, "m_editProdID");
    // The operator types the Device ID only when it does not step up by itself.
    QCOMPARE(prodId->isEnabled(), !autoIncrement);
    auto* start = child(w, test ? "m_buttonAuto" : "m_buttonAuto_2");

    start->click();
    // The dialog's bar follows the download to its end.
    QSignalSpy bar(progressWindows().first()->findChild<QProgressBar*>(),
                   &QProgressBar::valueChanged);
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 30000);
    QVERIFY(bar.contains({100}));
    QCOMPARE(device->deviceId(), inDevice);
    QCOMPARE(prodId->value(), prodIdAfter);
    QCOMPARE(coloured(child<QTextEdit>(w, test ? "m_Log" : "m_Log_2")).last(),
             Line(lastLine, green));
    QCOMPARE(
        readAll(m_bench->station() + "/TestFiles/fake-jlink.log").split(' ').mid(5, 2).join(' '),
        QByteArray(test ? "-USB 801012345" : ""));
    // A late second end of the same run changes nothing.
    QVERIFY(QMetaObject::invokeMethod(&w, "on_flashingFinished", Q_ARG(bool, true)));
    QCOMPARE(prodId->value(), prodIdAfter);
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
    QVERIFY(readAll(m_bench->station() + "/Logs/runs.jsonl")
                .contains(R"("step":null,"stop_cause":"window closed")"));
    QTRY_VERIFY_WITH_TIMEOUT(opensAgain(device->portPath()), 5000);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
