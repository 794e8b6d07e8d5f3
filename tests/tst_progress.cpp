#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include "progress.h"

class tst_Progress : public QObject
{
    Q_OBJECT
private slots:
    void initialState();
    void labelTexts_data();
    void labelTexts();
    void progressValues_data();
    void progressValues();
    void cancelHidesAndSignalsFalse();
};

void tst_Progress::initialState()
{
    Progress_c dialog;
    dialog.show();
    QCOMPARE(dialog.objectName(), QStringLiteral("Progress_c"));
    QCOMPARE(dialog.size(), QSize(230, 150));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QCOMPARE(dialog.windowTitle(), QString());
    QCOMPARE(dialog.font().family(), QStringLiteral("Arial"));

    auto* label = dialog.findChild<QLabel*>(QStringLiteral("labelSearch"));
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("BtnCancel"));
    QVERIFY(label && bar && cancel);
    QCOMPARE(label->text(), QStringLiteral("<html><head/><body><p>Preparing for the device "
                                           "programming</p></body></html>"));
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    QVERIFY(label->wordWrap());
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
    QCOMPARE(cancel->font().family(), QStringLiteral("MS Shell Dlg 2"));
}

void tst_Progress::labelTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QStringLiteral("Searching for the device's COM port");
    QTest::newRow("empty") << QString();
    // A device-supplied text with markup shows as it is, not rendered.
    QTest::newRow("markup") << QStringLiteral("<b>VELTORA-FW</b> 3.2.0");
}

void tst_Progress::labelTexts()
{
    QFETCH(QString, text);
    Progress_c dialog;
    dialog.slotLabel(text);
    auto* label = dialog.findChild<QLabel*>(QStringLiteral("labelSearch"));
    QCOMPARE(label->text(), text);
    QCOMPARE(label->textFormat(), Qt::PlainText);
}

void tst_Progress::progressValues_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("shown");
    QTest::newRow("in range") << 10 << 55 << 55;
    QTest::newRow("full") << 10 << 100 << 100;
    QTest::newRow("back to 0") << 80 << 0 << 0;
    QTest::newRow("above range ignored") << 30 << 101 << 30;
    QTest::newRow("below range ignored") << 30 << -1 << 30;
}

void tst_Progress::progressValues()
{
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(int, shown);
    Progress_c dialog;
    dialog.slotProgress(first);
    dialog.slotProgress(second);
    QCOMPARE(dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), shown);
}

void tst_Progress::cancelHidesAndSignalsFalse()
{
    Progress_c dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QSignalSpy exits(&dialog, SIGNAL(SigExit(bool)));
    QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("BtnCancel")), Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(exits.count(), 1);
    QCOMPARE(exits.at(0).at(0).toBool(), false);
}

QTEST_MAIN(tst_Progress)
#include "tst_progress.moc"
