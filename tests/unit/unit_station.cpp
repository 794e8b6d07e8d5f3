// Where a run finds and puts its files: every path starts from the station folder.
#include <QDate>
#include <QDir>
#include <QtTest>

#include "station.h"
#include "unit.h"

class StationPaths : public QObject
{
    Q_OBJECT
private slots:
    void paths_data();
    void paths();
    void cleanupTestCase() { setStationDir(QString()); }
};

void StationPaths::paths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected"); // below the station folder /srv/a
    setStationDir("/srv/a//");
    const StationLayout production("/Production/");
    const StationLayout test("/TestFiles/");
    QTest::newRow("station folder") << stationDir() << "";
    QTest::newRow("list") << production.runFile("production_files.cfg")
                          << "Production/production_files.cfg";
    QTest::newRow("public keys") << production.publicKeysFile() << "Keys/public_keys.json";
    QTest::newRow("MACs, from the test folder") << test.macFile() << "MAC/MACs.txt";
    QTest::newRow("commander's script")
        << test.commanderScript() << "TestFiles/flashing-sequence.jlink";
    QTest::newRow("commander runs in") << test.commanderFolder() << "";
    QTest::newRow("journal") << StationLayout::journalFile() << "Logs/runs.jsonl";
    QTest::newRow("day log") << StationLayout::dayLogFile(QDate(2024, 5, 6))
                             << "Logs/2024-05-06.log";
}

void StationPaths::paths()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QCOMPARE(QDir::cleanPath(path), QDir::cleanPath("/srv/a/" + expected));
}

UNIT_TEST(StationPaths)
#include "unit_station.moc"
