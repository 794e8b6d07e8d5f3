// A list entry must name a file: an empty name or a folder is a list error, not an image.
#include <QtTest>

#include "flashing.h"
#include "logger.h"
#include "station.h"

class TestListNamesFile : public QObject
{
    Q_OBJECT
private slots:
    void entry_data();
    void entry();
};

void TestListNamesFile::entry_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("downloadNames");
    QTest::addColumn<QStringList>("jlinkNames");
    QTest::addColumn<QStringList>("log");  // "<folder>" stands for the list's folder

    const QStringList none;
    QTest::newRow("file") << QByteArray("c:system.bin\r\nj:sub/app.hex\r\n") << true
                          << QStringList{"system.bin"} << QStringList{"sub/app.hex"} << none;
    QTest::newRow("empty name") << QByteArray("c:system.bin\r\nc:\r\n") << false
                                << QStringList{"system.bin"} << none
                                << QStringList{"1<folder>", "1The file from list isn't exist"};
    QTest::newRow("empty name after NUL cut")
        << QByteArray("j:xy\0zzzz\r\n", 11) << false << none << none
        << QStringList{"1<folder>", "1The file from list isn't exist"};
    QTest::newRow("folder") << QByteArray("j:sub\r\n") << false << none << none
                            << QStringList{"1<folder>sub", "1The file from list isn't exist"};
    QTest::newRow("folder with slash") << QByteArray("c:sub/\r\n") << false << none << none
                                       << QStringList{"1<folder>sub/",
                                                      "1The file from list isn't exist"};
}

void TestListNamesFile::entry()
{
    QFETCH(QByteArray, list);
    QFETCH(bool, result);
    QFETCH(QStringList, downloadNames);
    QFETCH(QStringList, jlinkNames);
    QFETCH(QStringList, log);

    QTemporaryDir station;
    QVERIFY(station.isValid());
    QDir root(station.path());
    QVERIFY(root.mkpath("Production/sub"));
    for (const char* name : {"Production/system.bin", "Production/sub/app.hex"}) {
        QFile f(root.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QFile listFile(root.filePath("Production/production_files.cfg"));
    QVERIFY(listFile.open(QIODevice::WriteOnly));
    listFile.write(list);
    listFile.close();
    setStationDir(station.path());

    Logger_c logger;
    QSignalSpy lines(&logger, &Logger_c::sigLog);
    QSignalSpy labels(&logger, &Logger_c::sigLabel);
    Flashing_c worker(0, false, "/Production/", false, &logger);
    QStringList downloads;
    QStringList jlinks;
    QCOMPARE(worker.readFileList("production_files.cfg", downloads, jlinks), result);
    QCOMPARE(downloads, downloadNames);
    QCOMPARE(jlinks, jlinkNames);

    QStringList logged;
    QStringList labelled;
    for (const QList<QVariant>& args : lines)
        logged << args.at(0).toString();
    for (const QList<QVariant>& args : labels)
        labelled << args.at(0).toString();
    const QString folder = station.path() + "/Production/";
    log.replaceInStrings("<folder>", folder);
    QCOMPARE(logged, log);
    QCOMPARE(labelled.size(), log.size());
    for (int i = 0; i < log.size(); ++i)
        QCOMPARE(labelled.at(i), log.at(i).mid(1));
}

QTEST_GUILESS_MAIN(TestListNamesFile)
#include "tst_list_names_file.moc"
