#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "mainwindow.h"

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void windowFrame();
    void formTexts_data();
    void formTexts();
    void manualTabDisabled();
    void deviceIdSpinBoxes_data();
    void deviceIdSpinBoxes();
    void autoIncrementTogglesDeviceId_data();
    void autoIncrementTogglesDeviceId();
    void logColours_data();
    void logColours();
    void logTarget_data();
    void logTarget();
    void clearLogIsolation_data();
    void clearLogIsolation();

private:
    static void setMode(MainWindow& w, int mode) { w.mode = mode; }
};

namespace {

template <typename T = QWidget> T* child(const MainWindow& w, const QString& name)
{
    T* widget = w.findChild<T*>(name);
    if (!widget)
        qFatal("no widget %s", qPrintable(name));
    return widget;
}

QStringList lines(const QTextEdit* view)
{
    QStringList out;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next())
        out << b.text();
    return out;
}

// The colour of every piece of text in the block, or the block's own format when it is empty.
QList<QRgb> colours(const QTextBlock& block)
{
    QList<QRgb> out;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        out << it.fragment().charFormat().foreground().color().rgb();
    if (out.isEmpty())
        out << block.charFormat().foreground().color().rgb();
    return out;
}

} // namespace

void tst_MainWindow::windowFrame()
{
    MainWindow w;
    w.show();
    QCOMPARE(w.windowTitle(), QStringLiteral("Veltora manufacturing v.2.1.6"));
    QCOMPARE(w.size(), QSize(490, 290));
    QCOMPARE(w.minimumSize(), QSize(490, 290));
    QCOMPARE(w.maximumSize(), QSize(490, 290));

    auto* tabs = child<QTabWidget>(w, "m_tabMode");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Test"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Production"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Manual"));
    QCOMPARE(tabs->currentIndex(), 1);
    QVERIFY(w.menuBar()->actions().isEmpty());
    QCOMPARE(child(w, "m_buttonAuto")->font().pointSize(), 15);
    QCOMPARE(child(w, "m_buttonAuto_2")->font().pointSize(), 15);
}

void tst_MainWindow::formTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("checked"); // -1: not a check box
    QTest::newRow("m_boxSetSerial") << "m_boxSetSerial" << "Set Device ID" << 1;
    QTest::newRow("m_retest") << "m_retest" << "Perform test again" << -1;
    QTest::newRow("m_label") << "m_label" << "Bar code scanner's COM port :" << -1;
    QTest::newRow("m_BootLdrCheck") << "m_BootLdrCheck" << "Skip the dootloader" << 1;
    QTest::newRow("m_boxSetProdSerial") << "m_boxSetProdSerial" << "Set Device ID" << 1;
    QTest::newRow("m_boxAutoIncProdSerial")
        << "m_boxAutoIncProdSerial" << "Auto increment   Device ID:" << 0;
    QTest::newRow("m_clearLog_2") << "m_clearLog_2" << "Clear log" << -1;
    QTest::newRow("m_label_4") << "m_label_4" << "Bluetooth driver file:" << -1;
    QTest::newRow("m_checkBox_2") << "m_checkBox_2" << "" << 0;
    QTest::newRow("m_BootLdrCheck_2") << "m_BootLdrCheck_2" << "Skip the bootloader" << 1;
    QTest::newRow("m_RebootReqrd") << "m_RebootReqrd" << "Reboot once disconnected" << 1;
}

void tst_MainWindow::formTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, checked);
    MainWindow w;
    QCOMPARE(child(w, name)->property("text").toString(), text);
    if (checked >= 0)
        QCOMPARE(child<QCheckBox>(w, name)->isChecked(), checked == 1);
}

void tst_MainWindow::manualTabDisabled()
{
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* tabs = child<QTabWidget>(w, "m_tabMode");
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(2).center());
    QCOMPARE(tabs->currentIndex(), 2);
    const auto controls = tabs->widget(2)->findChildren<QWidget*>();
    QVERIFY(controls.size() >= 23);
    for (QWidget* c : controls)
        QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    for (const char* name : {"m_useScanner", "m_label", "fontComboBox", "m_ScanConnectButton"})
        QVERIFY2(!child(w, name)->isEnabled(), name);
}

void tst_MainWindow::deviceIdSpinBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("typed");
    QTest::addColumn<double>("shown");
    QTest::newRow("test id max") << "m_editID" << 99999999999.0 << 99999999999.0;
    QTest::newRow("test id above max") << "m_editID" << 100000000000.0 << 99999999999.0;
    QTest::newRow("test id fraction") << "m_editID" << 41.6 << 42.0;
    QTest::newRow("test id negative") << "m_editID" << -3.0 << 0.0;
    QTest::newRow("prod id above max") << "m_editProdID" << 123456789012.0 << 99999999999.0;
    QTest::newRow("prod id fraction") << "m_editProdID" << 7.2 << 7.0;
    QTest::newRow("manual id max") << "m_editID_2" << 999999999.0 << 999999999.0;
    QTest::newRow("manual id above max") << "m_editID_2" << 1000000000.0 << 999999999.0;
}

void tst_MainWindow::deviceIdSpinBoxes()
{
    QFETCH(QString, name);
    QFETCH(double, typed);
    QFETCH(double, shown);
    MainWindow w;
    if (auto* box = w.findChild<QDoubleSpinBox*>(name)) {
        QCOMPARE(box->value(), 0.0);
        QCOMPARE(box->decimals(), 0);
        box->setValue(typed);
        QCOMPARE(box->value(), shown);
        QCOMPARE(box->text(), QString::number(shown, 'f', 0));
    } else {
        auto* spin = child<QSpinBox>(w, name);
        QCOMPARE(spin->value(), 0);
        spin->setValue(int(typed));
        QCOMPARE(double(spin->value()), shown);
    }
}

void tst_MainWindow::autoIncrementTogglesDeviceId_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("argument");
    QTest::newRow("checked, state 0") << true << 0;
    QTest::newRow("checked, odd state") << true << -7;
    QTest::newRow("unchecked, state 2") << false << 2;
}

void tst_MainWindow::autoIncrementTogglesDeviceId()
{
    QFETCH(bool, checked);
    QFETCH(int, argument);
    MainWindow w;
    auto* box = child<QCheckBox>(w, "m_boxAutoIncProdSerial");
    QWidget* id = child(w, "m_editProdID");
    QVERIFY(id->isEnabled());
    box->setChecked(checked);
    QCOMPARE(id->isEnabled(), !checked);
    // The slot reads the box itself, whatever state it is told.
    QVERIFY(QMetaObject::invokeMethod(&w, "on_m_boxAutoIncProdSerial_stateChanged",
                                      Q_ARG(int, argument)));
    QCOMPARE(id->isEnabled(), !checked);
    box->setChecked(!checked);
    QCOMPARE(id->isEnabled(), checked);
}

void tst_MainWindow::logColours_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QRgb>("colour");
    const QRgb black = qRgb(0, 0, 0);
    QTest::newRow("0 black") << "0Flasher configured" << "Flasher configured" << black;
    QTest::newRow("1 red") << "1Flasher configured" << "Flasher configured" << qRgb(255, 0, 0);
    QTest::newRow("2 yellow") << "2Half way" << "Half way" << qRgb(255, 255, 0);
    QTest::newRow("3 blue") << "3Device ID: 17" << "Device ID: 17" << qRgb(0, 0, 255);
    QTest::newRow("4 green") << "4File flashed" << "File flashed" << qRgb(0, 128, 0);
    QTest::newRow("5 black") << "5Five" << "Five" << black;
    QTest::newRow("9 black") << "9Nine" << "Nine" << black;
    QTest::newRow("10 red") << "10Ten" << "0Ten" << qRgb(255, 0, 0);
    QTest::newRow("non-digit") << "xNo code" << "No code" << black;
    QTest::newRow("blank first") << " 1 spaced" << "1 spaced" << black;
    QTest::newRow("empty") << "" << "" << black;
    QTest::newRow("code only") << "4" << "" << qRgb(0, 128, 0);
    QTest::newRow("other script digit")
        << QString(QChar(0x0663)) + "Three" << "Three" << qRgb(0, 0, 255);
    QTest::newRow("markup stays text")
        << "1<b>Firmware</b> version is <i>3.2</i>" << "<b>Firmware</b> version is <i>3.2</i>"
        << qRgb(255, 0, 0);
}

void tst_MainWindow::logColours()
{
    QFETCH(QString, line);
    QFETCH(QString, shown);
    QFETCH(QRgb, colour);
    MainWindow w;
    setMode(w, 2);
    auto* view = child<QTextEdit>(w, "m_Log_2");
    w.Log(QStringLiteral("3Earlier line"));
    // The operator has selected the earlier line: the next line must not recolour it.
    QTextCursor selection(view->document());
    selection.select(QTextCursor::LineUnderCursor);
    view->setTextCursor(selection);
    w.Log(line);

    QCOMPARE(lines(view), QStringList({"Earlier line", shown}));
    for (QRgb c : colours(view->document()->lastBlock()))
        QCOMPARE(c, colour);
    QCOMPARE(colours(view->document()->firstBlock()), QList<QRgb>{qRgb(0, 0, 255)});
}

void tst_MainWindow::logTarget_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("target");
    QTest::newRow("test run, production tab shown") << 1 << 1 << "m_Log";
    QTest::newRow("test run, manual tab shown") << 1 << 2 << "m_Log";
    QTest::newRow("production run, test tab shown") << 2 << 0 << "m_Log_2";
    QTest::newRow("no run, test tab shown") << 0 << 0 << "m_Log";
    QTest::newRow("no run, production tab shown") << 0 << 1 << "m_Log_2";
    QTest::newRow("no run, manual tab shown") << 0 << 2 << "m_Log_2";
}

void tst_MainWindow::logTarget()
{
    QFETCH(int, mode);
    QFETCH(int, tab);
    QFETCH(QString, target);
    MainWindow w;
    child<QTabWidget>(w, "m_tabMode")->setCurrentIndex(tab);
    setMode(w, mode);
    w.Log(QStringLiteral("0Searching for the device's COM port"));
    w.Log(QStringLiteral("1Error while port opening"));

    QCOMPARE(lines(child<QTextEdit>(w, target)),
             QStringList({"Searching for the device's COM port", "Error while port opening"}));
    QVERIFY(child<QTextEdit>(w, target == "m_Log" ? "m_Log_2" : "m_Log")->document()->isEmpty());
}

void tst_MainWindow::clearLogIsolation_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("cleared");
    QTest::addColumn<QString>("kept");
    QTest::newRow("test tab") << "m_clearLog" << "m_Log" << "m_Log_2";
    QTest::newRow("production tab") << "m_clearLog_2" << "m_Log_2" << "m_Log";
}

void tst_MainWindow::clearLogIsolation()
{
    QFETCH(QString, button);
    QFETCH(QString, cleared);
    QFETCH(QString, kept);
    MainWindow w;
    for (int mode : {1, 2}) {
        setMode(w, mode);
        w.Log(QStringLiteral("0Applying the default file list"));
        w.Log(QStringLiteral("1Error while getting the files list"));
    }
    setMode(w, 0);
    // Keys typed into the log change nothing; Tab moves on to the Clear log button.
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto* view = child<QTextEdit>(w, cleared);
    child<QTabWidget>(w, "m_tabMode")->setCurrentWidget(view->parentWidget());
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("x\t"));
    QCOMPARE(view->toPlainText(),
             QStringLiteral("Applying the default file list\nError while getting the files list"));
    QCOMPARE(QApplication::focusWidget(), child(w, button));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QVERIFY(child<QTextEdit>(w, cleared)->toPlainText().isEmpty());
    QCOMPARE(child<QTextEdit>(w, kept)->toPlainText(),
             QStringLiteral("Applying the default file list\nError while getting the files list"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
