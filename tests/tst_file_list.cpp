#include <QtTest>
#include <sys/stat.h>

#include "prod_fixture.h"

using namespace prodtest;

class TestFileList : public QObject
{
    Q_OBJECT
private slots:
    void read_data();
    void read();
};

namespace {
const QString kName123 = QString(119, 'n') + ".hex";  // "j:" + name + CR LF = 127 bytes
const QString kName124 = QString(120, 'n') + ".hex";
} // namespace

void TestFileList::read_data()
{
    QTest::addColumn<QByteArray>("list");  // absent when null
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("downloadNames");
    QTest::addColumn<QStringList>("jlinkNames");
    QTest::addColumn<QStringList>("log");  // "<folder>" stands for the list's folder

    const QStringList none;
    QTest::newRow("CRLF") << QByteArray("c:system.bin\r\nj:app.hex\r\nc:drivers.bin\r\n") << true
                          << QStringList{"system.bin", "drivers.bin"} << QStringList{"app.hex"}
                          << none;
    QTest::newRow("LF line ends")
        << QByteArray("c:system.bin\nc:drivers.bin\n") << false << none << none
        << QStringList{"1<folder>system.bi", "1The file from list isn't exist"};
    QTest::newRow("no line end after the last entry")
        << QByteArray("c:system.bin\r\nc:drivers.bin") << false << QStringList{"system.bin"}
        << none << QStringList{"1<folder>drivers.b", "1The file from list isn't exist"};
    QTest::newRow("two-character mode") << QByteArray("c:system.bin\r\ncc:system.bin\r\n")
                                        << false << QStringList{"system.bin"} << none
                                        << QStringList{"1Incorrect mode size"};
    QTest::newRow("unknown mode") << QByteArray("x:system.bin\r\n") << false << none << none
                                  << QStringList{"1Incorrect file mode"};
    QTest::newRow("capital mode") << QByteArray("C:system.bin\r\n") << false << none << none
                                  << QStringList{"1Incorrect file mode"};
    QTest::newRow("unknown mode and missing file")
        << QByteArray("x:missing.bin\r\n") << false << none << none
        << QStringList{"1<folder>missing.bin", "1The file from list isn't exist"};
    QTest::newRow("extra field") << QByteArray("c:system.bin:extra\r\n") << true
                                 << QStringList{"system.bin"} << none << none;
    const QString missing = "1The file from list isn't exist";
    const QString special = "1The file from list isn't a regular file";
    QTest::newRow("empty name") << QByteArray("c:\r\n") << false << none << none
                                << QStringList{"1<folder>", missing};
    // A download reads its base name after the substitutions; an image is read by its listed name.
    QTest::newRow("download checked by the file it sends")
        << QByteArray("j:sub/net.hex\r\nc:sub/config.txt\r\n") << false << none
        << QStringList{"sub/net.hex"} << QStringList{"1<folder>config.txt", missing};
    QTest::newRow("replaced file missing")
        << QByteArray("c:interface.bin\r\n") << false << none << none
        << QStringList{"1<folder>NRF_Bootloader_c.bin", missing};
    QTest::newRow("device path too long")
        << QByteArray("c:production_firmware_bin_A.dat\r\n") << false << none << none
        << QStringList{"1The file name is too long for the device: "
                       "Updates/production_firmware_bin_A.dat"};
    QTest::newRow("FIFO") << QByteArray("c:fifo.bin\r\n") << false << none << none
                          << QStringList{"1<folder>fifo.bin", special};
    QTest::newRow("link to a device") << QByteArray("c:zero.hex\r\n") << false << none << none
                                      << QStringList{"1<folder>zero.hex", special};
    QTest::newRow("empty file") << QByteArray("") << true << none << none << none;
    QTest::newRow("no colon") << QByteArray("c:system.bin\r\nsystem.bin\r\n") << false
                              << QStringList{"system.bin"} << none
                              << QStringList{"1Incorrect list line"};
    QTest::newRow("empty line") << QByteArray("j:app.hex\r\n\r\nc:system.bin\r\n") << false << none
                                << QStringList{"app.hex"} << QStringList{"1Incorrect list line"};
    QTest::newRow("NUL ends the line") << QByteArray("c:system.binXY\0zz\r\n", 19) << true
                                       << QStringList{"system.bin"} << none << none;
    QTest::newRow("Latin-1 name") << QByteArray("c:caf\xe9.bin\r\n") << true
                                  << QStringList{QString::fromUtf8("caf\xc3\xa9.bin")} << none
                                  << none;
    QTest::newRow("127-byte line") << ("j:" + kName123.toLatin1() + "\r\n") << true << none
                                   << QStringList{kName123} << none;
    // The 128th byte (LF) comes as a piece of its own.
    QTest::newRow("128-byte line") << ("j:" + kName124.toLatin1() + "\r\n") << false << none
                                   << QStringList{kName124.left(123)}
                                   << QStringList{"1Incorrect list line"};
    QTest::newRow("list missing") << QByteArray() << false << none << none
                                  << QStringList{"1Error while opening the list of flashing files"};
    QTest::newRow("list is a FIFO")
        << QByteArray("<fifo>") << false << none << none
        << QStringList{"1Error while opening the list of flashing files"};
}

void TestFileList::read()
{
    QFETCH(QByteArray, list);
    QFETCH(bool, result);
    QFETCH(QStringList, downloadNames);
    QFETCH(QStringList, jlinkNames);
    QFETCH(QStringList, log);

    Bench bench;
    setStationDir(bench.station());
    const QString folder = bench.station() + "/Production/";
    for (const QString& name :
         {QString("system.bin"), QString("nRF_Update_c.bin"), QString("drivers.bin"),
          QString("ESP_Update_c.bin"), QString("interface.bin"), QString("app.hex"),
          QString("sub/config.txt"), QString("sub/net.hex"),
          QString("production_firmware_bin_A.dat"), QString::fromUtf8("caf\xc3\xa9.bin"), kName123,
          kName124, kName124.left(123)})
        QVERIFY(writeFile(folder + name, "x"));
    QVERIFY(mkfifo(QFile::encodeName(folder + "fifo.bin").constData(), 0600) == 0);
    QVERIFY(QFile::link("/dev/zero", folder + "zero.hex"));
    if (list == "<fifo>")
        QVERIFY(mkfifo(QFile::encodeName(folder + "production_files.cfg").constData(), 0600) == 0);
    else if (!list.isNull())
        QVERIFY(writeFile(folder + "production_files.cfg", list));

    Logger_c logger;
    Flashing_c worker(1, false, "/Production/", false, &logger);
    Recorder recorder;
    recorder.attach(logger);
    QStringList downloads{"stale"};
    QStringList jlinks{"stale"};
    QCOMPARE(worker.readFileList("production_files.cfg", downloads, jlinks), result);
    QCOMPARE(downloads, downloadNames);
    QCOMPARE(jlinks, jlinkNames);
    log.replaceInStrings("<folder>", folder);
    QCOMPARE(recorder.log, log);
    QCOMPARE(recorder.labels, withoutColours(log));
}

QTEST_GUILESS_MAIN(TestFileList)
#include "tst_file_list.moc"
