// The flash file list reader: which files a run sends, which images it programs, and the red lines
// of a list it refuses.
#include <QTemporaryDir>
#include <QtTest>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "station.h"
#include "test_support.h"
#include "unit.h"

using namespace prodtest;

namespace {
const QString kName124 = QString(120, 'n') + ".hex"; // "j:" + name + CR LF = 128 bytes
} // namespace

class FileLists : public QObject
{
    Q_OBJECT
private slots:
    void fileList_data();
    void fileList();
};

void FileLists::fileList_data()
{
    QTest::addColumn<QByteArray>("list"); // absent when null
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("downloadNames");
    QTest::addColumn<QStringList>("jlinkNames");
    // "<folder>" stands for the list's folder, "<shown>" for it as the system writes paths.
    QTest::addColumn<QStringList>("log");

    const QStringList none;
    const QString missing = "1The file from list isn't exist";
    const QString wrongLine = "1Incorrect list line";
    QTest::newRow("CRLF") << QByteArray("c:system.bin\r\nj:app.hex\r\nc:drivers.bin\r\n") << true
                          << QStringList{"system.bin", "drivers.bin"} << QStringList{"app.hex"}
                          << none;
    // The last two characters of a line are taken for its CR LF, whatever they are.
    QTest::newRow("LF line ends") << QByteArray("c:system.bin\nc:drivers.bin\n") << false << none
                                  << none << QStringList{"1<folder>system.bi", missing};
    QTest::newRow("two-character mode")
        << QByteArray("c:system.bin\r\ncc:system.bin\r\n") << false << QStringList{"system.bin"}
        << none << QStringList{"1Incorrect mode size"};
    QTest::newRow("unknown mode") << QByteArray("x:system.bin\r\n") << false << none << none
                                  << QStringList{"1Incorrect file mode"};
    // The file is checked before the mode character.
    QTest::newRow("unknown mode and missing file")
        << QByteArray("x:missing.bin\r\n") << false << none << none
        << QStringList{"1<folder>missing.bin", missing};
    QTest::newRow("extra field") << QByteArray("c:system.bin:extra\r\n") << true
                                 << QStringList{"system.bin"} << none << none;
    QTest::newRow("empty name") << QByteArray("c:\r\n") << false << none << none
                                << QStringList{"1<folder>", missing};
    // A download is checked by the file it sends: its base name after the substitutions; an
    // image by its listed name.
    QTest::newRow("download checked by the file it sends")
        << QByteArray("j:sub/net.hex\r\nc:sub/config.txt\r\n") << false << none
        << QStringList{"sub/net.hex"} << QStringList{"1<folder>config.txt", missing};
    QTest::newRow("device path too long")
        << QByteArray("c:production_firmware_bin_A.dat\r\n") << false << none << none
        << QStringList{"1The file name is too long for the device: "
                       "Updates/production_firmware_bin_A.dat"};
#ifndef Q_OS_WIN
    QTest::newRow("FIFO") << QByteArray("c:fifo.bin\r\n") << false << none << none
                          << QStringList{"1<folder>fifo.bin",
                                         "1The file from list isn't a regular file"};
#endif
    QTest::newRow("no colon") << QByteArray("c:system.bin\r\nsystem.bin\r\n") << false
                              << QStringList{"system.bin"} << none << QStringList{wrongLine};
    QTest::newRow("NUL ends the line") << QByteArray("c:system.binXY\0zz\r\n", 19) << true
                                       << QStringList{"system.bin"} << none << none;
    QTest::newRow("Latin-1 name") << QByteArray("c:caf\xe9.bin\r\n") << true
                                  << QStringList{QString::fromUtf8("caf\xc3\xa9.bin")} << none
                                  << none;
    QTest::newRow("127-byte line") << "j:" + kName124.left(123).toLatin1() + "\r\n"
                                   << true << none << QStringList{kName124.left(123)} << none;
    // The 128th byte (LF) comes as a piece of its own.
    QTest::newRow("128-byte line")
        << "j:" + kName124.toLatin1() + "\r\n"
        << false << none << QStringList{kName124.left(123)} << QStringList{wrongLine};
    // The path in a plain line after the red one: where the run looked for its list.
    QTest::newRow("list missing")
        << QByteArray() << false << none << none
        << QStringList{"1Error while opening the list of flashing files",
                       "0The list <shown>production_files.cfg cannot be read: it does not exist"};
#ifndef Q_OS_WIN
    QTest::newRow("list is a FIFO")
        << QByteArray("<fifo>") << false << none << none
        << QStringList{"1Error while opening the list of flashing files",
                       "0The list <shown>production_files.cfg cannot be read: it is not a regular "
                       "file"};
#endif
}

void FileLists::fileList()
{
    QFETCH(QByteArray, list);
    QFETCH(bool, result);
    QFETCH(QStringList, downloadNames);
    QFETCH(QStringList, jlinkNames);
    QFETCH(QStringList, log);

    QTemporaryDir station;
    setStationDir(station.path());
    const QString folder = station.path() + "/Production/";
    for (const QString& name :
         {QString("system.bin"), QString("nRF_Update_c.bin"), QString("drivers.bin"),
          QString("ESP_Update_c.bin"), QString("interface.bin"), QString("app.hex"),
          QString("sub/config.txt"), QString("sub/net.hex"),
          QString("production_firmware_bin_A.dat"), QString::fromUtf8("caf\xc3\xa9.bin"),
          kName124.left(123)})
        QVERIFY(writeFile(folder + name, "x"));
#ifndef Q_OS_WIN
    QVERIFY(mkfifo(QFile::encodeName(folder + "fifo.bin").constData(), 0600) == 0);
    if (list == "<fifo>")
        QVERIFY(mkfifo(QFile::encodeName(folder + "production_files.cfg").constData(), 0600) == 0);
#endif
    if (!list.isNull() && list != "<fifo>")
        QVERIFY(writeFile(folder + "production_files.cfg", list));

    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    Flashing_c worker(1, false, "/Production/", false, &logger);
    QStringList downloads{"stale"};
    QStringList jlinks{"stale"};
    QCOMPARE(worker.readFileList("production_files.cfg", downloads, jlinks), result);
    QCOMPARE(downloads, downloadNames);
    QCOMPARE(jlinks, jlinkNames);
    log.replaceInStrings("<folder>", folder);
    log.replaceInStrings("<shown>", QDir::toNativeSeparators(folder));
    QCOMPARE(recorder.log, log);
    QCOMPARE(recorder.labels, withoutColours(log.filter(QRegularExpression("^1"))));
    setStationDir(QString());
}

UNIT_TEST(FileLists)
#include "unit_file_list.moc"
