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
    QCOMPARE(dialog.minimumSize(), QSize(230, 150));
    QCOMPARE(dialog.maximumSize(), QSize(230, 150));
    QCOMPARE(dialog.windowTitle(), QString());
    QVERIFY(dialog.isWindow());
    QCOMPARE(dialog.windowModality(), Qt::NonModal);
    QCOMPARE(dialog.font().family(), QStringLiteral("Arial"));
    QCOMPARE(dialog.font().pointSize(), 10);

    auto* label = dialog.findChild<QLabel*>(QStringLiteral("labelSearch"));
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("BtnCancel"));
    QVERIFY(label && bar && cancel);

    QCOMPARE(label->text(), QStringLiteral("<html><head/><body><p>Preparing for the device "
                                           "programming</p></body></html>"));
    QCOMPARE(label->textFormat(), Qt::AutoText);
    QCOMPARE(label->alignment(), Qt::AlignCenter);
    QVERIFY(label->wordWrap());
    QCOMPARE(label->geometry(), QRect(20, 20, 191, 41));

    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(bar->geometry(), QRect(10, 70, 210, 21));

    QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
    QCOMPARE(cancel->font().family(), QStringLiteral("MS Shell Dlg 2"));
    QCOMPARE(cancel->font().pointSize(), 10);
    QCOMPARE(label->font().family(), QStringLiteral("MS Shell Dlg 2"));
    QCOMPARE(cancel->geometry(), QRect(80, 110, 71, 23));
    QCOMPARE(cancel->focusPolicy(), Qt::WheelFocus);
    QVERIFY(cancel->autoDefault());
}

void tst_Progress::labelTexts_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QStringLiteral("Searching for the device's COM port");
    QTest::newRow("empty") << QString();
    QTest::newRow("long") << QStringLiteral("Waiting for reboot and update of the device that was "
                                            "just programmed with its production firmware");
    // A device-supplied text with markup shows as typed, not rendered.
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
    QVERIFY(label->wordWrap());
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
    // Still usable after hiding: the run keeps feeding it until it is deleted.
    dialog.slotLabel(QStringLiteral("Waiting for reboot and update"));
    QCOMPARE(dialog.findChild<QLabel*>(QStringLiteral("labelSearch"))->text(),
             QStringLiteral("Waiting for reboot and update"));
}

QTEST_MAIN(tst_Progress)
#include "tst_progress.moc"
