// Files into the device and out of it, against the simulated device: the requests it received,
// the bytes that landed, the progress and the log lines the operator sees.
#include <QtTest>
#include <csignal>
#include <sys/resource.h>
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
        const char* path = reinterpret_cast<const char*>(&frame[7]);
        if (frame[2] == 0x02)
            out << QString::fromUtf8(path, int(strnlen(path, 32))) + " " +
                       QString::number(le32(frame, 3));
        else if (frame[2] == 0x03)
            out << QString::number(le32(frame, 3)) + "+" + QString::number(le32(frame, 7));
        else if (frame[2] == 0x04)
            out << "end";
    }
    return out;
}

// The lines of one file downloaded whole.
QStringList sent(const QString& name)
{
    return {"0File for flashing: Updates/" + name, "0File is flashing: Updates/" + name,
            "4" + name + " file was successfully downloaded"};
}

// The lines of one file fetched whole.
QStringList received(const QString& name)
{
    return {"0File for reading: " + name, "0Starting the file getting",
            "4" + name + " file was successfully received"};
}

const QString kDone = "4Firmware downloding is complete";
const QString kFetched = "4File getting is complete";
const QString kName23 = "abcdefghijklmnopqrstuvw";
} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void download_data();
    void download();
    void fetch_data();
    void fetch();

private:
    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    QString m_folder;
    cUSB_CDC_Protocol m_link;
    Logger_c m_logger;
    std::unique_ptr<Recorder> m_recorder;
};

void TestTransfer::init()
{
    m_bench = std::make_unique<Bench>();
    m_folder = m_bench->path() + "/local/";
    QVERIFY(QDir().mkpath(m_folder));
    m_device = m_bench->start(m_bench->config());
    QVERIFY(m_device);
    QVERIFY(!m_link.open(QString::fromStdString(m_device->portPath())));
    m_recorder = std::make_unique<Recorder>();
    m_recorder->attach(m_logger);
}

void TestTransfer::cleanup()
{
    m_link.closeIfOpen();
    m_recorder.reset();
    m_bench.reset();
}

void TestTransfer::download_data()
{
    QTest::addColumn<QStringList>("names"); // "!" in front: not an update, to the device's root
    QTest::addColumn<int>("size");          // of every local file
    QTest::addColumn<QString>("event");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QStringList>("log");

    const QString none;
    const QStringList one{"/Production/system.bin"};
    const QStringList system = one + QStringList{"/Production/config.txt"};
    const QString start = "Updates/nRF_Update_c.bin 1000";
    const QString flashing = "0File for flashing: Updates/system.bin";
    const QString started = "0File is flashing: Updates/system.bin";

    QTest::newRow("0 bytes") << one << 0 << none << QStringList{"Updates/nRF_Update_c.bin 0", "end"}
                             << QList<int>{0, 100} << sent("system.bin") + QStringList{kDone};
    QTest::newRow("513 bytes") << one << 513 << none
                               << QStringList{"Updates/nRF_Update_c.bin 513", "0+512", "512+1",
                                              "end"}
                               << QList<int>{0, 99, 100, 100}
                               << sent("system.bin") + QStringList{kDone};
    // 200 chunks: every percentage once, though only every second chunk changes it.
    QStringList many{"Updates/nRF_Update_c.bin 102400"};
    QList<int> percents;
    for (int i = 0; i < 200; ++i)
        many << QString::number(i * 512) + "+512";
    for (int i = 0; i <= 100; ++i)
        percents << i;
    QTest::newRow("102400 bytes") << one << 102400 << none << many + QStringList{"end"}
                                  << percents + QList<int>{100}
                                  << sent("system.bin") + QStringList{kDone};
    QTest::newRow("empty name ends the list")
        << QStringList{"/Production/config.txt", "", "/Production/system.bin"} << 3 << none
        << QStringList{"Updates/config.txt 3", "0+3", "end"} << QList<int>{0, 100, 100}
        << sent("config.txt") + QStringList{kDone};
    QTest::newRow("test folder name, device root")
        << QStringList{"!TestFiles//drivers.bin"} << 3 << none
        << QStringList{"ESP_Update_c.bin 3", "0+3", "end"} << QList<int>{0, 100, 100}
        << sent("drivers.bin") + QStringList{kDone};
    QTest::newRow("substitution is case-sensitive")
        << QStringList{"System.bin", "interface.bin"} << 3 << none
        << QStringList{"Updates/System.bin 3",           "0+3", "end",
                       "Updates/NRF_Bootloader_c.bin 3", "0+3", "end"}
        << QList<int>{0, 100, 100, 0, 100, 100}
        << sent("System.bin") + sent("interface.bin") + QStringList{kDone};
    // The device path travels in a 32-byte field with its terminating NUL; a cut path would land
    // on another file.
    const QString fits = "production_firmware_image_A.dat"; // 31 bytes
    QTest::newRow("31-byte device path")
        << QStringList{"!" + fits} << 3 << none << QStringList{fits + " 3", "0+3", "end"}
        << QList<int>{0, 100, 100} << sent(fits) + QStringList{kDone};
    const QString cut = QString::fromUtf8("firmware_\xc3\xa9_production_A"); // 24 bytes
    QTest::newRow("32-byte device path refused")
        << QStringList{cut} << 3 << none << QStringList{} << QList<int>{}
        << QStringList{"0File for flashing: Updates/" + cut,
                       "1The file name is too long for the device: Updates/" + cut};
    QTest::newRow("port closed") << system << 1000 << "port closed" << QStringList{} << QList<int>{}
                                 << QStringList{"1No COM port open"};
    // A device would be sent as an empty file, a FIFO would block the run.
    QTest::newRow("local file links to /dev/zero")
        << system << 1000 << "/dev/zero" << QStringList{} << QList<int>{0}
        << QStringList{flashing, "1File opening error"};
    // Beyond what the 32-bit offsets can address: refused before the device hears of it.
    QTest::newRow("local file of 4 GiB")
        << system << 1000 << "4 GiB" << QStringList{} << QList<int>{0}
        << QStringList{flashing, "1File is too large: system.bin"};
    QTest::newRow("start refused")
        << system << 1000 << "0x02" << QStringList{start} << QList<int>{0} << QStringList{flashing};
    QTest::newRow("device error mid-file")
        << system << 1000 << "0x03 mid-file" << QStringList{start, "0+512", "512+488", "end"}
        << QList<int>{0, 51, 100}
        << QStringList{flashing, started, "1Can't send ESP firmware file"};
    QTest::newRow("end refused") << system << 1000 << "0x04"
                                 << QStringList{start, "0+512", "512+488", "end"}
                                 << QList<int>{0, 51, 100, 100} << QStringList{flashing, started};
}

// Chunking at the 512-byte boundary, the substituted names, the progress, and a failed file
// that ends the download: no success line, the next file not sent, the result false.
void TestTransfer::download()
{
    QFETCH(QStringList, names);
    QFETCH(int, size);
    QFETCH(QString, event);
    QFETCH(QStringList, requests);
    QFETCH(QList<int>, progress);
    QFETCH(QStringList, log);

    const QByteArray content = pattern(size);
    for (const char* name : {"nRF_Update_c.bin", "config.txt", "System.bin", "ESP_Update_c.bin",
                             "NRF_Bootloader_c.bin", "production_firmware_image_A.dat",
                             "firmware_\xc3\xa9_production_A"})
        QVERIFY(writeFile(m_folder + QString::fromUtf8(name), content));
    const QString local = m_folder + "nRF_Update_c.bin";
    if (event == "port closed")
        m_link.close();
    if (event == "/dev/zero")
        QVERIFY(QFile::remove(local) && QFile::link(event, local));
    if (event == "4 GiB")
        QVERIFY(QFile(local).resize(Q_INT64_C(0x100000000)));
    const devsim::Fault refuse{devsim::ErrorMode::NonZeroResult, 0, -1};
    const uint8_t refused = uint8_t(event.left(4).toUInt(nullptr, 16));
    if (refused && !event.endsWith("mid-file"))
        m_device->setFault(refused, refuse);
    // Progress is reported after the device has accepted a chunk and before the next goes out.
    connect(&m_logger, &Logger_c::sigProgress, m_recorder.get(), [&](int value) {
        if (value > 0 && event.endsWith("mid-file"))
            m_device->setFault(refused, refuse);
    });

    QList<FlashFileEntry> files;
    for (const QString& name : names)
        files.append({name.startsWith('!') ? name.mid(1) : name, quint8(!name.startsWith('!'))});
    FileLoader_c loader(&m_link, files, m_folder, &m_logger);
    QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
    loader.doWork();

    QCOMPARE(writes(*m_device), requests);
    QCOMPARE(m_recorder->progress, progress);
    QCOMPARE(m_recorder->log, log);
    QCOMPARE(m_recorder->labels, withoutColours(log));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(loader.lastRunSucceeded(), log.last() == kDone);
    if (loader.lastRunSucceeded()) {
        for (const QString& request : requests.filter(" "))
            QCOMPARE(readAll(m_bench->fsRoot() + "/" + request.section(' ', 0, 0)), content);
    }
}

void TestTransfer::fetch_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("deviceSize");  // of the first name on the device; -1 absent
    QTest::addColumn<int>("localBefore"); // bytes already in the local file; -1 none
    QTest::addColumn<QString>("event");   // after the first chunk; "disk full" from the start
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QByteArrayList>("requests"); // every one the device received, header included
    QTest::addColumn<bool>("succeeded"); // the file replaced, else the local file is as it was

    const QString none;
    const QStringList result{"result.bin"};
    // Selector 0x0102, then the name in a 24-byte field padded with NUL bytes.
    const QByteArray open = QByteArray::fromHex("1b0012 0201 726573756c742e62696e"
                                                "0000000000000000000000000000");
    const QByteArray open23 =
        QByteArray::fromHex("1b0012 0201 6162636465666768696a6b6c6d6e6f7071727374757677 00");
    const QByteArray read0 = QByteArray::fromHex("090013 00000000 00020000");
    const QByteArray read512 = QByteArray::fromHex("090013 00020000 e8010000");
    const QByteArray end = QByteArray::fromHex("010014");
    const QStringList getting{"0File for reading: result.bin", "0Starting the file getting"};
    const QString name24 = QString::fromUtf8("\xc3\xa9") + kName23.left(22); // 23 characters

    QTest::newRow("0 bytes, 23-byte name")
        << QStringList{kName23} << 0 << -1 << none << received(kName23) + QStringList{kFetched}
        << QList<int>{100} << QByteArrayList{open23, end} << true;
    QTest::newRow("1000 bytes replace a longer copy")
        << result << 1000 << 2000 << none << received("result.bin") + QStringList{kFetched}
        << QList<int>{51, 100, 100} << QByteArrayList{open, read0, read512, end} << true;
    QTest::newRow("24-byte name refused")
        << QStringList{name24} << 10 << 2000 << none
        << QStringList{"0File for reading: " + name24,
                       "1The file name is too long for the device: " + name24}
        << QList<int>{} << QByteArrayList{} << false;
    QTest::newRow("missing on the device, later files not fetched")
        << QStringList{"result.bin", "other.bin"} << -1 << 2000 << none
        << QStringList{"0File for reading: result.bin",
                       "1Unable to open the file on the device: result.bin"}
        << QList<int>{} << QByteArrayList{open} << false;
    QTest::newRow("missing local sub-folder")
        << QStringList{"logs/result.bin"} << 10 << -1 << none
        << QStringList{"0File for reading: logs/result.bin", "1File opening error"} << QList<int>{}
        << QByteArrayList{} << false;
    QTest::newRow("port closed") << result << 10 << 2000 << "port closed"
                                 << QStringList{"0No COM ports open"} << QList<int>{}
                                 << QByteArrayList{} << false;
    QTest::newRow("device error mid-file")
        << result << 1000 << 2000 << "device error"
        << getting + QStringList{"1Unable to get the data from the device"} << QList<int>{51, 100}
        << QByteArrayList{open, read0, read512, end} << false;
    QTest::newRow("stopped mid-file")
        << result << 1000 << 2000 << "stop" << getting << QList<int>{51, 100}
        << QByteArrayList{open, read0} << false;
    // The whole file has arrived, and cannot take its name.
    QTest::newRow("a folder in its place")
        << result << 1000 << -1 << "folder"
        << getting + QStringList{"1Unable to write the data to the disk"}
        << QList<int>{51, 100, 100} << QByteArrayList{open, read0, read512, end} << false;
    QTest::newRow("disk full") << result << 1000 << 2000 << "disk full"
                               << getting + QStringList{"1Unable to write the data to the disk"}
                               << QList<int>{100} << QByteArrayList{open, read0, end} << false;
}

// Fetching into a local folder: what lands on disk, what the device was asked for, what the
// operator sees; a failed or stopped fetch keeps the earlier copy and leaves nothing beside it.
void TestTransfer::fetch()
{
    QFETCH(QStringList, names);
    QFETCH(int, deviceSize);
    QFETCH(int, localBefore);
    QFETCH(QString, event);
    QFETCH(QStringList, log);
    QFETCH(QList<int>, progress);
    QFETCH(QByteArrayList, requests);
    QFETCH(bool, succeeded);

    const QByteArray content = pattern(qMax(deviceSize, 0));
    if (deviceSize >= 0)
        QVERIFY(writeFile(m_bench->fsRoot() + "/" + names.first(), content));
    QVERIFY(writeFile(m_bench->fsRoot() + "/other.bin", "other"));
    const QString localPath = m_folder + names.first();
    const QByteArray before(qMax(localBefore, 0), 'x');
    if (localBefore >= 0)
        QVERIFY(writeFile(localPath, before));
    if (event == "port closed")
        m_link.closeIfOpen();
    StopToken stop;
    m_link.setStopToken(stop);
    connect(&m_logger, &Logger_c::sigProgress, m_recorder.get(), [&] {
        if (event == "device error")
            m_device->setFault(0x13, devsim::Fault{devsim::ErrorMode::NonZeroResult, 1, -1});
        else if (event == "stop")
            stop.stop();
        else if (event == "folder")
            QDir().mkpath(localPath);
    });
    // A full disk: the process may not grow any file beyond 100 bytes.
    rlimit limit;
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    if (event == "disk full") {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit full{100, limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
    }

    QList<FlashFileEntry> files;
    for (const QString& name : names)
        files << FlashFileEntry{name, 0};
    FileLoader_c loader(&m_link, files, m_folder, 0x0102, &m_logger);
    loader.setStopToken(stop);
    QSignalSpy finished(&loader, &FileLoader_c::sigFinish);
    loader.doGetFiles();
    setrlimit(RLIMIT_FSIZE, &limit);
    m_link.setStopToken(StopToken::never());

    QCOMPARE(m_recorder->log, log);
    // Only the start of a file shows in the progress dialog.
    QCOMPARE(m_recorder->labels, withoutColours(log.filter("Starting the file getting")));
    QCOMPARE(m_recorder->progress, progress);
    QByteArrayList asked;
    for (const std::vector<uint8_t>& request : m_device->requests())
        asked << QByteArray(reinterpret_cast<const char*>(request.data()), int(request.size()));
    QCOMPARE(asked, requests);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(loader.lastRunSucceeded(), succeeded);
    if (succeeded)
        QCOMPARE(readAll(localPath), content);
    else if (localBefore >= 0)
        QCOMPARE(readAll(localPath), before);
    else
        QVERIFY(!QFileInfo(localPath).isFile());
    // Nothing else is left beside it: no partial or temporary file.
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QFileInfo(localPath).isFile() ? QStringList{names.first()} : QStringList{});
}

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
