#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
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
    void texts_data();
    void texts();
    void initialChecks_data();
    void initialChecks();
    void manualTabDisabled();
    void deviceIdSpinBoxes_data();
    void deviceIdSpinBoxes();
    void autoIncrementTogglesDeviceId_data();
    void autoIncrementTogglesDeviceId();
    void slotOrder();
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

template <typename T> T* child(const MainWindow& w, const char* name)
{
    T* widget = w.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
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
    QCOMPARE(w.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(w.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);

    auto* tabs = child<QTabWidget>(w, "m_tabMode");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->tabText(0), QStringLiteral("Test"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Production"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Manual"));
    QCOMPARE(tabs->currentIndex(), 1);
    QCOMPARE(tabs->geometry(), QRect(10, 9, 481, 241));
    QCOMPARE(w.menuBar()->objectName(), QStringLiteral("menubar"));
    QVERIFY(w.menuBar()->actions().isEmpty());
    QCOMPARE(child<QPushButton>(w, "m_buttonAuto")->font().pointSize(), 15);
    QCOMPARE(child<QPushButton>(w, "m_buttonAuto_2")->font().pointSize(), 15);
}

void tst_MainWindow::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("m_boxSetSerial") << "m_boxSetSerial" << "Set Device ID";
    QTest::newRow("m_labelID") << "m_labelID" << "Device ID :";
    QTest::newRow("m_buttonAuto") << "m_buttonAuto" << "Auto";
    QTest::newRow("m_useScanner") << "m_useScanner" << "Use the barcode scanner to read the device ID";
    QTest::newRow("m_label") << "m_label" << "Bar code scanner's COM port :";
    QTest::newRow("m_ScanConnectButton") << "m_ScanConnectButton" << "Connect";
    QTest::newRow("m_clearLog") << "m_clearLog" << "Clear log";
    QTest::newRow("m_retest") << "m_retest" << "Perform test again";
    QTest::newRow("m_buttonAuto_2") << "m_buttonAuto_2" << "Auto";
    QTest::newRow("m_clearLog_2") << "m_clearLog_2" << "Clear log";
    QTest::newRow("m_BootLdrCheck") << "m_BootLdrCheck" << "Skip the dootloader";
    QTest::newRow("m_boxSetProdSerial") << "m_boxSetProdSerial" << "Set Device ID";
    QTest::newRow("m_boxAutoIncProdSerial") << "m_boxAutoIncProdSerial" << "Auto increment   Device ID:";
    QTest::newRow("m_checkBox_1") << "m_checkBox_1" << "";
    QTest::newRow("m_label_1") << "m_label_1" << "System File:";
    QTest::newRow("m_label_2") << "m_label_2" << "Drivers file:";
    QTest::newRow("m_label_3") << "m_label_3" << "Interface file:";
    QTest::newRow("m_label_4") << "m_label_4" << "Bluetooth driver file:";
    QTest::newRow("m_labelID_2") << "m_labelID_2" << "Device ID :";
    QTest::newRow("m_ManFlash") << "m_ManFlash" << "Program selected files";
    QTest::newRow("m_setDevId") << "m_setDevId" << "Set the Device ID";
    QTest::newRow("nRFFileSelect_4") << "nRFFileSelect_4" << "...";
    QTest::newRow("m_ManConnect") << "m_ManConnect" << "Connect";
    QTest::newRow("m_BootLdrCheck_2") << "m_BootLdrCheck_2" << "Skip the bootloader";
    QTest::newRow("m_RebootReqrd") << "m_RebootReqrd" << "Reboot once disconnected";
}

void tst_MainWindow::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    MainWindow w;
    QWidget* widget = w.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->property("text").toString(), text);
}

void tst_MainWindow::initialChecks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("checked");
    QTest::newRow("m_boxSetSerial") << "m_boxSetSerial" << true;
    QTest::newRow("m_BootLdrCheck") << "m_BootLdrCheck" << true;
    QTest::newRow("m_boxSetProdSerial") << "m_boxSetProdSerial" << true;
    QTest::newRow("m_boxAutoIncProdSerial") << "m_boxAutoIncProdSerial" << false;
    QTest::newRow("m_checkBox_3") << "m_checkBox_3" << false;
    QTest::newRow("m_BootLdrCheck_2") << "m_BootLdrCheck_2" << true;
    QTest::newRow("m_RebootReqrd") << "m_RebootReqrd" << true;
}

void tst_MainWindow::initialChecks()
{
    QFETCH(QString, name);
    QFETCH(bool, checked);
    MainWindow w;
    auto* box = w.findChild<QCheckBox*>(name);
    QVERIFY2(box, qPrintable(name));
    QCOMPARE(box->isChecked(), checked);
}

void tst_MainWindow::manualTabDisabled()
{
    MainWindow w;
    w.show();
    auto* tabs = child<QTabWidget>(w, "m_tabMode");
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QTabBar* bar = tabs->tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
    QCOMPARE(tabs->currentIndex(), 2);
    const auto controls = tabs->widget(2)->findChildren<QWidget*>();
    QVERIFY(controls.size() >= 23);
    for (QWidget* c : controls)
        QVERIFY2(!c->isEnabled(), qPrintable(c->objectName()));
    QCOMPARE(child<QCheckBox>(w, "m_RebootReqrd")->contextMenuPolicy(), Qt::PreventContextMenu);
    // The barcode scanner row of the Test tab is not in use either.
    for (const char* name : {"m_useScanner", "m_label", "fontComboBox", "m_ScanConnectButton"})
        QVERIFY2(!child<QWidget>(w, name)->isEnabled(), name);
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
    QTest::newRow("prod id max") << "m_editProdID" << 99999999999.0 << 99999999999.0;
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
        QCOMPARE(box->minimum(), 0.0);
        QCOMPARE(box->maximum(), 99999999999.0);
        box->setValue(typed);
        QCOMPARE(box->value(), shown);
        QCOMPARE(box->text(), QString::number(shown, 'f', 0));
    } else {
        auto* spin = w.findChild<QSpinBox*>(name);
        QVERIFY2(spin, qPrintable(name));
        QCOMPARE(spin->value(), 0);
        QCOMPARE(spin->minimum(), 0);
        QCOMPARE(spin->maximum(), 999999999);
        spin->setValue(int(typed > 2e9 ? 2e9 : typed));
        QCOMPARE(double(spin->value()), shown);
    }
}

void tst_MainWindow::autoIncrementTogglesDeviceId_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("argument");
    QTest::newRow("checked, state 2") << true << 2;
    QTest::newRow("checked, state 0") << true << 0;
    QTest::newRow("checked, odd state") << true << -7;
    QTest::newRow("unchecked, state 0") << false << 0;
    QTest::newRow("unchecked, state 2") << false << 2;
    QTest::newRow("unchecked, partially") << false << 1;
}

void tst_MainWindow::autoIncrementTogglesDeviceId()
{
    QFETCH(bool, checked);
    QFETCH(int, argument);
    MainWindow w;
    auto* box = child<QCheckBox>(w, "m_boxAutoIncProdSerial");
    auto* id = child<QDoubleSpinBox>(w, "m_editProdID");
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

void tst_MainWindow::slotOrder()
{
    const QMetaObject& mo = MainWindow::staticMetaObject;
    QStringList names;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i)
        names << QString::fromLatin1(mo.method(i).methodSignature());
    const QStringList expected = {
        "Log(QString)",
        "on_flashingFinished(bool)",
        "on_m_buttonAuto_clicked()",
        "on_m_clearLog_clicked()",
        "on_m_buttonAuto_2_clicked()",
        "on_nRFFileSelect_clicked()",
        "on_nRFFileSelect_2_clicked()",
        "on_nRFFileSelect_3_clicked()",
        "on_nRFFileSelect_4_clicked()",
        "on_m_clearLog_2_clicked()",
        "on_m_retest_clicked()",
        "on_m_boxAutoIncProdSerial_stateChanged(int)",
    };
    QCOMPARE(names, expected);
    QCOMPARE(mo.method(mo.methodOffset()).access(), QMetaMethod::Public);
    QCOMPARE(mo.method(mo.methodOffset() + 1).access(), QMetaMethod::Public);
    QCOMPARE(mo.method(mo.methodOffset() + 2).access(), QMetaMethod::Private);
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
    w.Log(line);

    QCOMPARE(lines(view), QStringList({"Earlier line", shown}));
    const QTextBlock last = view->document()->lastBlock();
    for (QRgb c : colours(last))
        QCOMPARE(c, colour);
    QCOMPARE(colours(view->document()->firstBlock()), QList<QRgb>{qRgb(0, 0, 255)});
    QCOMPARE(view->currentCharFormat().foreground().color().rgb(), colour);
    QCOMPARE(view->currentCharFormat().foreground().style(), Qt::SolidPattern);
}

void tst_MainWindow::logTarget_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("tab");
    QTest::addColumn<QString>("target");
    QTest::newRow("test run, production tab shown") << 1 << 1 << "m_Log";
    QTest::newRow("test run, manual tab shown") << 1 << 2 << "m_Log";
    QTest::newRow("production run, test tab shown") << 2 << 0 << "m_Log_2";
    QTest::newRow("production run, production tab shown") << 2 << 1 << "m_Log_2";
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
    w.Log(QStringLiteral("4Searching for the device's COM port"));
    w.Log(QStringLiteral("1Error while port opening"));
    setMode(w, 0);

    auto* targetView = w.findChild<QTextEdit*>(target);
    auto* otherView = child<QTextEdit>(w, target == "m_Log" ? "m_Log_2" : "m_Log");
    QCOMPARE(lines(targetView),
             QStringList({"Searching for the device's COM port", "Error while port opening"}));
    QVERIFY(otherView->document()->isEmpty());
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
    w.findChild<QPushButton*>(button)->click();
    QVERIFY(w.findChild<QTextEdit*>(cleared)->toPlainText().isEmpty());
    QCOMPARE(w.findChild<QTextEdit*>(kept)->toPlainText(),
             QStringLiteral("Applying the default file list\nError while getting the files list"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
