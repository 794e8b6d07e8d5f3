#include <QtTest>
#include <sys/stat.h>

#include "file_loader.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
quint32 le32(const std::vector<uint8_t>& frame, size_t at)
{
    return quint32(frame[at]) | quint32(frame[at + 1]) << 8 | quint32(frame[at + 2]) << 16 |
           quint32(frame[at + 3]) << 24;
}

// Device path and size of each SendStartESP, "offset+length" of each SendWriteESP, "end" for
// each SendEndESP, as the device received them.
QStringList writes(const devsim::Device& device)
{
    QStringList out;
    for (const std::vector<uint8_t>& frame : device.requests()) {
        if (frame[2] == 0x02)
            out << QString::fromLatin1(reinterpret_cast<const char*>(&frame[7]),
                                       int(strnlen(reinterpret_cast<const char*>(&frame[7]), 32))) +
                       " " + QString::number(le32(frame, 3));
        else if (frame[2] == 0x03)
            out << QString::number(le32(frame, 3)) + "+" + QString::number(le32(frame, 7));
        else if (frame[2] == 0x04)
            out << "end";
    }
    return out;
}
} // namespace

class TestFileLoader : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sizes_data();
    void sizes();
    void failures_data();
    void failures();
    void lists_data();
    void lists();
    void fileBeyond32BitsIsRefused();

private:
    // Downloads the files from the local folder; true when it reported one end.
    bool download(const QList<FlashFileEntry>& files)
    {
        FileLoader_c loader(&m_link, files, m_folder, &m_logger);
        QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
        loader.doWork();
        m_succeeded = loader.lastRunSucceeded();
        return finished.count() == 1;
    }

    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    QString m_folder;
    cUSB_CDC_Protocol m_link;
    Logger_c m_logger;
    std::unique_ptr<Recorder> m_recorder;
    bool m_succeeded = false;
};

void TestFileLoader::init()
{
    m_bench = std::make_unique<Bench>();
    m_folder = m_bench->path() + "/flash/";
    QVERIFY(QDir().mkpath(m_folder));
    m_device = m_bench->start(m_bench->config());
    QVERIFY(m_device);
    QVERIFY(!m_link.open(QString::fromStdString(m_device->portPath())));
    m_recorder = std::make_unique<Recorder>();
    m_recorder->attach(m_logger);
}

void TestFileLoader::cleanup()
{
    m_link.closeIfOpen();
    m_recorder.reset();
    m_bench.reset();
}

void TestFileLoader::sizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("progress");

    QTest::newRow("0") << 0 << QStringList{"Updates/nRF_Update_c.bin 0", "end"}
                       << QList<int>{0, 100};
    QTest::newRow("512") << 512 << QStringList{"Updates/nRF_Update_c.bin 512", "0+512", "end"}
                         << QList<int>{0, 100, 100};
    QTest::newRow("513") << 513
                         << QStringList{"Updates/nRF_Update_c.bin 513", "0+512", "512+1", "end"}
                         << QList<int>{0, 99, 100, 100};
    QTest::newRow("1000") << 1000
                          << QStringList{"Updates/nRF_Update_c.bin 1000", "0+512", "512+488", "end"}
                          << QList<int>{0, 51, 100, 100};
    // 200 chunks: every percentage once, though only every second chunk changes it.
    QStringList many{"Updates/nRF_Update_c.bin 102400"};
    QList<int> percents;
    for (int i = 0; i < 200; ++i)
        many << QString::number(i * 512) + "+512";
    for (int i = 0; i <= 100; ++i)
        percents << i;
    QTest::newRow("102400") << 102400 << (many << "end") << (percents << 100);
}

// Chunking at the 512-byte boundary, the progress the operator sees and the bytes that land on
// the device under the substituted name.
void TestFileLoader::sizes()
{
    QFETCH(int, size);
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, progress);

    const QByteArray content = pattern(size);
    QVERIFY(writeFile(m_folder + "nRF_Update_c.bin", content));
    QVERIFY(download({{"/Production/system.bin", 1}}));

    QCOMPARE(writes(*m_device), requests);
    QCOMPARE(m_recorder->progress, progress);
    QCOMPARE(m_recorder->log, (QStringList{"0File for flashing: Updates/system.bin",
                                           "0File is flashing: Updates/system.bin",
                                           "4system.bin file was successfully downloaded",
                                           "4Firmware downloding is complete"}));
    QCOMPARE(m_recorder->labels.last(), QString("Firmware downloding is complete"));
    QVERIFY(m_succeeded);
    QCOMPARE(readAll(m_bench->fsRoot() + "/Updates/nRF_Update_c.bin"), content);
}

void TestFileLoader::failures_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<bool>("midFile");  // the fault is set once the first chunk is through
    QTest::addColumn<QString>("local");  // what the local file is
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QStringList>("requests");

    const QString start = "Updates/nRF_Update_c.bin 1000";
    const QString flashing = "0File for flashing: Updates/system.bin";
    const QString started = "0File is flashing: Updates/system.bin";
    QTest::newRow("port closed") << false << 0 << false << "file"
                                 << QStringList{"1No COM port open"} << QList<int>{}
                                 << QStringList{};
    QTest::newRow("local file missing") << true << 0 << false << "none"
                                        << QStringList{flashing, "1File opening error"}
                                        << QList<int>{0} << QStringList{};
    // Never opened: a FIFO would block the run, a device would be sent as an empty file.
    QTest::newRow("local file is a FIFO") << true << 0 << false << "FIFO"
                                          << QStringList{flashing, "1File opening error"}
                                          << QList<int>{0} << QStringList{};
    QTest::newRow("local file links to /dev/zero") << true << 0 << false << "/dev/zero"
                                                   << QStringList{flashing, "1File opening error"}
                                                   << QList<int>{0} << QStringList{};
    QTest::newRow("start refused") << true << 0x02 << false << "file" << QStringList{flashing}
                                   << QList<int>{0} << QStringList{start};
    QTest::newRow("first chunk refused")
        << true << 0x03 << false << "file"
        << QStringList{flashing, started, "1Can't send ESP firmware file"} << QList<int>{0, 100}
        << QStringList{start, "0+512", "end"};
    QTest::newRow("device error mid-file")
        << true << 0x03 << true << "file"
        << QStringList{flashing, started, "1Can't send ESP firmware file"}
        << QList<int>{0, 51, 100} << QStringList{start, "0+512", "512+488", "end"};
    QTest::newRow("end refused") << true << 0x04 << false << "file" << QStringList{flashing, started}
                                 << QList<int>{0, 51, 100, 100}
                                 << QStringList{start, "0+512", "512+488", "end"};
}

// A failed file ends the download: no success lines, the next file is not sent, and the result
// says so.
void TestFileLoader::failures()
{
    QFETCH(bool, portOpen);
    QFETCH(int, faultCode);
    QFETCH(bool, midFile);
    QFETCH(QString, local);
    QFETCH(QStringList, log);
    QFETCH(QList<int>, progress);
    QFETCH(QStringList, requests);

    const QString localPath = m_folder + "nRF_Update_c.bin";
    if (local == "file")
        QVERIFY(writeFile(localPath, pattern(1000)));
    else if (local == "FIFO")
        QVERIFY(mkfifo(QFile::encodeName(localPath).constData(), 0600) == 0);
    else if (local == "/dev/zero")
        QVERIFY(QFile::link(local, localPath));
    QVERIFY(writeFile(m_folder + "config.txt", "x"));
    if (!portOpen)
        m_link.close();
    const devsim::Fault refuse{devsim::ErrorMode::NonZeroResult, 0, -1};
    if (faultCode && !midFile)
        m_device->setFault(uint8_t(faultCode), refuse);
    if (midFile) {
        // Progress is reported after the device has accepted the first chunk and before the
        // second goes out.
        connect(&m_logger, &Logger_c::sigProgress, m_recorder.get(), [&](int value) {
            if (value == 51)
                m_device->setFault(uint8_t(faultCode), refuse);
        });
    }
    QVERIFY(download({{"/Production/system.bin", 1}, {"/Production/config.txt", 0}}));

    QCOMPARE(m_recorder->log, log);
    QCOMPARE(m_recorder->progress, progress);
    QCOMPARE(writes(*m_device), requests);
    QVERIFY(!m_succeeded);
}

void TestFileLoader::lists_data()
{
    QTest::addColumn<QStringList>("names");  // "!" in front: isUpdate 0
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("succeeded");

    QTest::newRow("empty list") << QStringList{} << QStringList{}
                                << QStringList{"4Firmware downloding is complete"} << true;
    QTest::newRow("empty name ends the list")
        << QStringList{"/Production/config.txt", "", "/Production/system.bin"}
        << QStringList{"Updates/config.txt 3", "0+3", "end"}
        << QStringList{"0File for flashing: Updates/config.txt",
                       "0File is flashing: Updates/config.txt",
                       "4config.txt file was successfully downloaded",
                       "4Firmware downloding is complete"} << true;
    QTest::newRow("test folder name, device root")
        << QStringList{"!TestFiles//drivers.bin"} << QStringList{"ESP_Update_c.bin 3", "0+3", "end"}
        << QStringList{"0File for flashing: Updates/drivers.bin",
                       "0File is flashing: Updates/drivers.bin",
                       "4drivers.bin file was successfully downloaded",
                       "4Firmware downloding is complete"} << true;
    QTest::newRow("substitution is case-sensitive")
        << QStringList{"System.bin", "interface.bin"}
        << QStringList{"Updates/System.bin 3", "0+3", "end", "Updates/NRF_Bootloader_c.bin 3",
                       "0+3", "end"}
        << QStringList{"0File for flashing: Updates/System.bin",
                       "0File is flashing: Updates/System.bin",
                       "4System.bin file was successfully downloaded",
                       "0File for flashing: Updates/interface.bin",
                       "0File is flashing: Updates/interface.bin",
                       "4interface.bin file was successfully downloaded",
                       "4Firmware downloding is complete"} << true;
    // The device path travels in a 32-byte field with its terminating NUL; a cut path would land
    // on another file.
    const QString fits = "production_firmware_image_A.dat";  // 31 bytes
    QTest::newRow("31-byte device path")
        << QStringList{"!" + fits} << QStringList{fits + " 3", "0+3", "end"}
        << QStringList{"0File for flashing: Updates/" + fits, "0File is flashing: Updates/" + fits,
                       "4" + fits + " file was successfully downloaded",
                       "4Firmware downloding is complete"} << true;
    const QString cut = QString::fromUtf8("firmware_\xc3\xa9_production_A");  // 24 bytes
    QTest::newRow("32-byte device path refused")
        << QStringList{cut} << QStringList{}
        << QStringList{"0File for flashing: Updates/" + cut,
                       "1The file name is too long for the device: Updates/" + cut} << false;
}

// Which entries are sent, under which device path, and from which local file.
void TestFileLoader::lists()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, log);
    QFETCH(bool, succeeded);

    for (const char* name : {"config.txt", "System.bin", "ESP_Update_c.bin", "NRF_Bootloader_c.bin",
                                "nRF_Update_c.bin", "production_firmware_image_A.dat",
                                "firmware_\xc3\xa9_production_A"})
        QVERIFY(writeFile(m_folder + name, "abc"));
    QList<FlashFileEntry> files;
    for (const QString& name : names) {
        const bool root = name.startsWith('!');
        files.append({root ? name.mid(1) : name, quint8(root ? 0 : 1)});
    }
    QVERIFY(download(files));

    QCOMPARE(writes(*m_device), requests);
    QCOMPARE(m_recorder->log, log);
    QCOMPARE(m_succeeded, succeeded);
}

// A file larger than the 32-bit offsets can address is refused before the device hears of it.
void TestFileLoader::fileBeyond32BitsIsRefused()
{
    // 4 GiB, sparse.
    QFile huge(m_folder + "nRF_Update_c.bin");
    QVERIFY(huge.open(QIODevice::WriteOnly));
    QVERIFY(huge.resize(Q_INT64_C(0x100000000)));
    huge.close();
    download({{"system.bin", 1}});
    QCOMPARE(m_recorder->log, (QStringList{"0File for flashing: Updates/system.bin",
                                           "1File is too large: system.bin"}));
    QVERIFY(!m_succeeded);
    QVERIFY(m_device->requests().empty());
}

QTEST_GUILESS_MAIN(TestFileLoader)
#include "tst_file_loader.moc"
