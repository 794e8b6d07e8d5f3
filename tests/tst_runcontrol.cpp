#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include "mainwindow.h"
#include "progress.h"
#include "station.h"

// Starting and ending runs from the window, against the real run bodies, with no device present.
class tst_RunControl : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void noListFileEndsRunInRed_data();
    void noListFileEndsRunInRed();
    void closeDuringDeviceSearch_data();
    void closeDuringDeviceSearch();
    void stepUpAfterSuccess_data();
    void stepUpAfterSuccess();

private:
    static int mode(const MainWindow& w) { return w.mode; }
    static bool runObjectsGone(const MainWindow& w)
    {
        return !w.flashingWorker && !w.progressDialog && !w.workerThread.isRunning();
    }
    void writeListFiles();

    QTemporaryDir m_station;
    QTemporaryDir m_ports;
};

namespace {

using Line = QPair<QString, QRgb>;
const QRgb black = qRgb(0, 0, 0);
const QRgb red = qRgb(255, 0, 0);

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

bool viewShows(const QTextEdit* view, const QString& text)
{
    return view->toPlainText().split('\n').contains(text);
}

QList<Progress_c*> progressWindows()
{
    QList<Progress_c*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<Progress_c*>(w))
            out << p;
    return out;
}

template <typename T = QPushButton> T* child(const MainWindow& w, const QString& name)
{
    return w.findChild<T*>(name);
}

bool startButtonsEnabled(const MainWindow& w, bool enabled)
{
    for (const char* name : {"m_buttonAuto", "m_retest", "m_buttonAuto_2"})
        if (child(w, name)->isEnabled() != enabled)
            return false;
    return true;
}

} // namespace

void tst_RunControl::initTestCase()
{
    QVERIFY(m_station.isValid());
    QVERIFY(m_ports.isValid());
    // No device anywhere: an empty extra-ports file and a station folder of our own.
    const QString portsFile = m_ports.filePath("ports");
    QFile f(portsFile);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    qputenv("VELTORA_EXTRA_PORTS", QFile::encodeName(portsFile));
    setStationDir(m_station.path());
}

void tst_RunControl::init()
{
    QDir station(m_station.path());
    QVERIFY(station.removeRecursively());
    QVERIFY(QDir().mkpath(station.filePath("Production")));
    QVERIFY(QDir().mkpath(station.filePath("TestFiles")));
}

void tst_RunControl::writeListFiles()
{
    for (const char* path : {"Production/production_files.cfg", "TestFiles/test_files.cfg"}) {
        QFile f(QDir(m_station.path()).filePath(QLatin1String(path)));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
}

void tst_RunControl::noListFileEndsRunInRed_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("runMode");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("otherView");
    QTest::newRow("production") << "m_buttonAuto_2" << 2 << "m_Log_2" << "m_Log";
    QTest::newRow("test") << "m_buttonAuto" << 1 << "m_Log" << "m_Log_2";
}

void tst_RunControl::noListFileEndsRunInRed()
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
        QCOMPARE(coloured(child<QTextEdit>(w, view)).size(), 3 * run);
        QCOMPARE(coloured(child<QTextEdit>(w, view)).mid(3 * (run - 1)), oneRun);
        QVERIFY(child<QTextEdit>(w, otherView)->document()->isEmpty());
        // A failed run never steps the Device ID up.
        QCOMPARE(prodId->value(), 41.0);
    }
}

void tst_RunControl::closeDuringDeviceSearch_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("view");
    QTest::newRow("production") << "m_buttonAuto_2" << "m_Log_2";
    QTest::newRow("test") << "m_buttonAuto" << "m_Log";
    QTest::newRow("re-test") << "m_retest" << "m_Log";
}

void tst_RunControl::closeDuringDeviceSearch()
{
    QFETCH(QString, button);
    QFETCH(QString, view);
    writeListFiles();
    MainWindow w;
    w.show();
    child(w, button)->click();
    QTRY_VERIFY_WITH_TIMEOUT(
        viewShows(child<QTextEdit>(w, view), "Searching for the device's COM port"), 10000);

    // Every start button stays disabled while the search goes on.
    QVERIFY(startButtonsEnabled(w, false));
    const int runMode = mode(w);
    QVERIFY(runMode != 0);

    // Cancel only hides the dialog; the run goes on.
    QCOMPARE(progressWindows().size(), 1);
    Progress_c* dialog = progressWindows().first();
    QTRY_COMPARE_WITH_TIMEOUT(dialog->findChild<QLabel*>("labelSearch")->text(),
                              QStringLiteral("Searching for the device's COM port"), 5000);
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
    QVERIFY(!w.isVisible());
}

void tst_RunControl::stepUpAfterSuccess_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("autoIncrement");
    QTest::addColumn<bool>("success");
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("after");
    QTest::newRow("production, success, auto") << "m_buttonAuto_2" << true << true << 41.0 << 42.0;
    QTest::newRow("production, success, manual") << "m_buttonAuto_2" << false << true << 41.0 << 41.0;
    QTest::newRow("production, failure, auto") << "m_buttonAuto_2" << true << false << 41.0 << 41.0;
    QTest::newRow("test, success, auto") << "m_buttonAuto" << true << true << 41.0 << 42.0;
    QTest::newRow("re-test, success, auto") << "m_retest" << true << true << 7.0 << 8.0;
    QTest::newRow("at the maximum") << "m_buttonAuto_2" << true << true << 99999999999.0
                                    << 99999999999.0;
}

void tst_RunControl::stepUpAfterSuccess()
{
    QFETCH(QString, button);
    QFETCH(bool, autoIncrement);
    QFETCH(bool, success);
    QFETCH(double, start);
    QFETCH(double, after);
    writeListFiles();
    MainWindow w;
    w.show();
    auto* prodId = child<QDoubleSpinBox>(w, "m_editProdID");
    prodId->setValue(start);
    child<QCheckBox>(w, "m_boxAutoIncProdSerial")->setChecked(autoIncrement);

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

QTEST_MAIN(tst_RunControl)
#include "tst_runcontrol.moc"
