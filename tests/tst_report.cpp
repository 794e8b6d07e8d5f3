// The report page as a browser shows it, over a journal of known runs; the figures themselves are
// unit tests (unit/unit_report.cpp).
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "report_sample.h"
#include "run_report.h"

class tst_report : public QObject, private reportsample::SampleJournal
{
    Q_OBJECT
private slots:
    void initTestCase();
    void page();
};

void tst_report::initTestCase()
{
    QVERIFY(write());
}

// The page as a browser shows it: drawn without a script error, with the figures and the plots'
// values, and the journal's texts as text.
void tst_report::page()
{
    const QString chromium = QStandardPaths::findExecutable("chromium");
    if (chromium.isEmpty())
        QSKIP("chromium is not installed (scripts/bootstrap installs it)");
    ReportOptions o = m_period;
    o.htmlFile = m_dir.filePath("report.html");
    QVERIFY(!report(o).isEmpty());
    QProcess browser;
    browser.start(chromium, {"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update",
                             "--disable-sync", "--user-data-dir=" + m_dir.filePath("chromium"),
                             "--dump-dom", QUrl::fromLocalFile(o.htmlFile).toString()});
    QVERIFY(browser.waitForFinished(60000));
    const QString dom = QString::fromUtf8(browser.readAllStandardOutput());
    QVERIFY2(dom.contains("<html lang=\"en\" data-rendered=\"yes\">"), qPrintable(dom.left(300)));
    const QString production =
        dom.section("<section id=\"production\">", 1).section("</section>", 0, 0);
    for (const char* shown :
         {"<td data-figure=\"runs\">19 runs, 11 passed, 5 failed, 3 stopped</td>",
          "<td data-figure=\"first_pass_yield\">33.3 % (3 of 9 units)</td>",
          "<td data-figure=\"final_yield\">90.0 % (9 of 10 units)</td>",
          "<td data-figure=\"retest_rate\">80.0 %</td>",
          "<td data-figure=\"units_per_hour\">13.2 over 0.76 h of activity</td>",
          "<td data-figure=\"passed_durations\">median 44.0 s, 95th percentile 50.0 s</td>",
          "<td data-figure=\"stopped\">1 x stop, 1 x time limit, 1 x window closed</td>",
          "<title>2024-05-02: first-pass yield 42.9 %</title>",
          "<title>2024-05-03: final yield 80.0 %</title>",
          "<title>2024-05-03: units per hour 41.2</title>", "<title>download: failures 2</title>",
          "<title>MACs: cumulative share 80.0 %</title>", "<title>50.0–51.0 s: runs 1</title>",
          "<tr><td>line-b</td><td class=\"n\">5</td><td class=\"n\">3</td><td class=\"n\">2</td>"
          "<td class=\"n\">0</td><td class=\"n\">3</td><td class=\"n\">33.3 %</td><td "
          "class=\"n\">66.7 %</td><td class=\"n\">33.3 %</td><td class=\"n\">41.9</td></tr>"})
        QVERIFY2(production.contains(QString::fromUtf8(shown)), shown);
    QVERIFY(dom.contains("<td>Unable to open the file on the device: &lt;/script&gt;&lt;b&gt;\"x"
                         "\\x1b</td>"));
    QVERIFY(dom.contains("<li>Units re-identified: 1 (106 was 99)</li>"));
}

QTEST_GUILESS_MAIN(tst_report)
#include "tst_report.moc"
