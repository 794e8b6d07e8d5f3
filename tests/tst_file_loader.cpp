#include <QtTest>

#include "file_loader.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);  // holds 0xC0 and 0xDB too
    return bytes;
}

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
    void sizes_data();
    void sizes();
    void failures_data();
    void failures();
    void lists_data();
    void lists();
    void startRequestBytes();
    void generalAccessInstanceDoesNotDownload();
    void fileBeyond32BitsIsRefused();
};

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
}

// Chunking at the 512-byte boundary, the progress the operator sees and the bytes that land on
// the device under the substituted name.
void TestFileLoader::sizes()
{
    QFETCH(int, size);
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, progress);

    Bench bench;
    const QString folder = bench.path() + "/flash/";
    const QByteArray content = pattern(size);
    QVERIFY(writeFile(folder + "nRF_Update_c.bin", content));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(device->portPath())));

    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    FileLoader_c loader(&link, {{"/Production/system.bin", 1}}, folder, &logger);
    QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
    loader.doWork();

    QCOMPARE(writes(*device), requests);
    QCOMPARE(recorder.progress, progress);
    QCOMPARE(recorder.log, (QStringList{"0File for flashing: Updates/system.bin",
                                        "0File is flashing: Updates/system.bin",
                                        "4system.bin file was successfully downloaded",
                                        "4Firmware downloding is complete"}));
    QCOMPARE(recorder.labels.last(), QString("Firmware downloding is complete"));
    QCOMPARE(finished.count(), 1);
    QVERIFY(loader.lastRunSucceeded());
    QCOMPARE(readAll(bench.fsRoot() + "/Updates/nRF_Update_c.bin"), content);
}

void TestFileLoader::failures_data()
{
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<int>("faultCode");
    QTest::addColumn<bool>("midFile");  // the fault is set once the first chunk is through
    QTest::addColumn<bool>("localFile");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QStringList>("requests");

    const QString start = "Updates/nRF_Update_c.bin 1000";
    const QString flashing = "0File for flashing: Updates/system.bin";
    const QString started = "0File is flashing: Updates/system.bin";
    QTest::newRow("port closed") << false << 0 << false << true
                                 << QStringList{"1No COM port open"} << QList<int>{}
                                 << QStringList{};
    QTest::newRow("local file missing") << true << 0 << false << false
                                        << QStringList{flashing, "1File opening error"}
                                        << QList<int>{0} << QStringList{};
    QTest::newRow("start refused") << true << 0x02 << false << true << QStringList{flashing}
                                   << QList<int>{0} << QStringList{start};
    QTest::newRow("first chunk refused")
        << true << 0x03 << false << true
        << QStringList{flashing, started, "1Can't send ESP firmware file"} << QList<int>{0, 100}
        << QStringList{start, "0+512", "end"};
    QTest::newRow("device error mid-file")
        << true << 0x03 << true << true
        << QStringList{flashing, started, "1Can't send ESP firmware file"}
        << QList<int>{0, 51, 100} << QStringList{start, "0+512", "512+488", "end"};
    QTest::newRow("end refused") << true << 0x04 << false << true << QStringList{flashing, started}
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
    QFETCH(bool, localFile);
    QFETCH(QStringList, log);
    QFETCH(QList<int>, progress);
    QFETCH(QStringList, requests);

    Bench bench;
    const QString folder = bench.path() + "/flash/";
    QDir().mkpath(folder);
    if (localFile)
        QVERIFY(writeFile(folder + "nRF_Update_c.bin", pattern(1000)));
    QVERIFY(writeFile(folder + "config.txt", "x"));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    if (portOpen)
        QVERIFY(!link.open(QString::fromStdString(device->portPath())));
    const devsim::Fault refuse{devsim::ErrorMode::NonZeroResult, 0, -1};
    if (faultCode && !midFile)
        device->setFault(uint8_t(faultCode), refuse);

    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    if (midFile) {
        // Progress is reported after the device has accepted the first chunk and before the
        // second goes out.
        connect(&logger, &Logger_c::sigProgress, &recorder, [&](int value) {
            if (value == 51)
                device->setFault(uint8_t(faultCode), refuse);
        });
    }
    FileLoader_c loader(&link, {{"/Production/system.bin", 1}, {"/Production/config.txt", 0}},
                        folder, &logger);
    QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
    loader.doWork();

    QCOMPARE(recorder.log, log);
    QCOMPARE(recorder.progress, progress);
    QCOMPARE(writes(*device), requests);
    QCOMPARE(finished.count(), 1);
    QVERIFY(!loader.lastRunSucceeded());
}

void TestFileLoader::lists_data()
{
    QTest::addColumn<QStringList>("names");  // "!" in front: isUpdate 0
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("empty list") << QStringList{} << QStringList{}
                                << QStringList{"4Firmware downloding is complete"};
    QTest::newRow("empty name ends the list")
        << QStringList{"/Production/config.txt", "", "/Production/system.bin"}
        << QStringList{"Updates/config.txt 3", "0+3", "end"}
        << QStringList{"0File for flashing: Updates/config.txt",
                       "0File is flashing: Updates/config.txt",
                       "4config.txt file was successfully downloaded",
                       "4Firmware downloding is complete"};
    QTest::newRow("test folder name, device root")
        << QStringList{"!TestFiles//drivers.bin"} << QStringList{"ESP_Update_c.bin 3", "0+3", "end"}
        << QStringList{"0File for flashing: Updates/drivers.bin",
                       "0File is flashing: Updates/drivers.bin",
                       "4drivers.bin file was successfully downloaded",
                       "4Firmware downloding is complete"};
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
                       "4Firmware downloding is complete"};
}

// Which entries are sent, under which device path, and from which local file.
void TestFileLoader::lists()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, requests);
    QFETCH(QStringList, log);

    Bench bench;
    const QString folder = bench.path() + "/flash/";
    for (const char* name : {"config.txt", "System.bin", "ESP_Update_c.bin", "NRF_Bootloader_c.bin",
                             "nRF_Update_c.bin"})
        QVERIFY(writeFile(folder + name, "abc"));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(device->portPath())));

    QList<FlashFileEntry> files;
    for (const QString& name : names) {
        const bool root = name.startsWith('!');
        files.append({root ? name.mid(1) : name, quint8(root ? 0 : 1)});
    }
    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);
    FileLoader_c loader(&link, files, folder, &logger);
    QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
    loader.doWork();

    QCOMPARE(writes(*device), requests);
    QCOMPARE(recorder.log, log);
    QCOMPARE(finished.count(), 1);
    QVERIFY(loader.lastRunSucceeded());
}

// The exact start request: size, then the device path in a 32-byte field padded with NULs.
void TestFileLoader::startRequestBytes()
{
    Bench bench;
    const QString folder = bench.path() + "/flash/";
    QVERIFY(writeFile(folder + "NRF_Bootloader_c.bin", pattern(0x1C0)));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(device->portPath())));

    Logger_c logger;
    FileLoader_c loader(&link, {{"interface.bin", 1}}, folder, &logger);
    loader.doWork();

    const std::vector<uint8_t> start = device->requests().front();
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(start.data()), int(start.size())),
             QByteArray::fromHex("2500 02 c0010000") + "Updates/NRF_Bootloader_c.bin" +
                 QByteArray(4, '\0'));
}

// doWork() belongs to the download form; a retrieval instance leaves the device alone.
void TestFileLoader::generalAccessInstanceDoesNotDownload()
{
    Bench bench;
    const QString folder = bench.path() + "/flash/";
    QVERIFY(writeFile(folder + "config.txt", "abc"));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(device->portPath())));
    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);

    FileLoader_c reader(&link, {{"config.txt", 0}}, folder, quint16(3), &logger);
    QSignalSpy readerFinished(&reader, &FileLoader_c::sigFinish);
    reader.doWork();
    QCOMPARE(readerFinished.count(), 0);
    QVERIFY(!reader.lastRunSucceeded());
    QVERIFY(recorder.log.isEmpty());
    QVERIFY(device->requests().empty());
}

// A file larger than the 32-bit offsets can address is refused before the device hears of it.
void TestFileLoader::fileBeyond32BitsIsRefused()
{
    Bench bench;
    const QString folder = bench.path() + "/flash/";
    QDir().mkpath(folder);
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    cUSB_CDC_Protocol link;
    QVERIFY(!link.open(QString::fromStdString(device->portPath())));
    Logger_c logger;
    Recorder recorder;
    recorder.attach(logger);

    // 4 GiB, sparse.
    QFile huge(folder + "nRF_Update_c.bin");
    QVERIFY(huge.open(QIODevice::WriteOnly));
    QVERIFY(huge.resize(Q_INT64_C(0x100000000)));
    huge.close();
    FileLoader_c loader(&link, {{"system.bin", 1}}, folder, &logger);
    loader.doWork();
    QCOMPARE(recorder.log, (QStringList{"0File for flashing: Updates/system.bin",
                                        "1File is too large: system.bin"}));
    QVERIFY(!loader.lastRunSucceeded());
    QVERIFY(device->requests().empty());
}

QTEST_GUILESS_MAIN(TestFileLoader)
#include "tst_file_loader.moc"
