// Fetching files from the simulated device into a local folder: what lands on disk, what the
// device was asked for, and what the operator sees.
#include <QtTest>
#include <csignal>
#include <sys/resource.h>

#include "file_loader.h"
#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

class FileRetrievalTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void fetch_data();
    void fetch();
    void startRequestLayout();
    void closedPort();

private:
    // The requests with this command code the device received, header included.
    QList<QByteArray> requestsWithCode(uint8_t code) const
    {
        QList<QByteArray> frames;
        for (const std::vector<uint8_t>& request : m_device->requests()) {
            if (request.size() > 2 && request[2] == code)
                frames << QByteArray(reinterpret_cast<const char*>(request.data()), int(request.size()));
        }
        return frames;
    }

    std::unique_ptr<Bench> m_bench;
    devsim::Device* m_device = nullptr;
    QString m_deviceFs;
    QString m_localFolder;
    cUSB_CDC_Protocol m_protocol;
    Logger_c m_logger;
    std::unique_ptr<Recorder> m_recorder;
};

void FileRetrievalTest::init()
{
    m_bench = std::make_unique<Bench>();
    m_deviceFs = m_bench->fsRoot();
    m_localFolder = m_bench->path() + "/local";
    QVERIFY(QDir().mkpath(m_localFolder));
    m_device = m_bench->start(m_bench->config());
    QVERIFY(m_device);
    QVERIFY(!m_protocol.open(QString::fromStdString(m_device->portPath())));
    m_recorder = std::make_unique<Recorder>();
    m_recorder->attach(m_logger);
}

void FileRetrievalTest::cleanup()
{
    m_protocol.closeIfOpen();
    m_recorder.reset();
    m_bench.reset();
}

void FileRetrievalTest::fetch_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("deviceSize");          // size of the first name on the device; -1 absent
    QTest::addColumn<int>("localBefore");         // bytes already in the local file; -1 none
    QTest::addColumn<QString>("event");  // after the first chunk; "disk full" from the start
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QByteArrayList>("reads");    // SendReadFile requests, header included
    QTest::addColumn<QByteArray>("codes");        // every command the device received, in hex
    QTest::addColumn<bool>("replaced");           // else the local file is as it was before
    QTest::addColumn<bool>("succeeded");

    const auto received = [](const QString& name) {
        return QStringList{"0File for reading: " + name, "0Starting the file getting",
                           "4" + name + " file was successfully received",
                           "4File getting is complete"};
    };
    const QString none;
    const QStringList result{"result.bin"};
    const QByteArray read0 = QByteArray::fromHex("090013" "00000000" "00020000");
    const QByteArray read512 = QByteArray::fromHex("090013" "00020000" "e8010000");
    const QStringList getting{"0File for reading: result.bin", "0Starting the file getting"};
    QTest::newRow("0 bytes") << result << 0 << -1 << none << received("result.bin")
                             << QList<int>{100} << QByteArrayList{} << QByteArray("1214") << true
                             << true;
    QTest::newRow("512 bytes") << result << 512 << -1 << none << received("result.bin")
                               << QList<int>{100, 100} << QByteArrayList{read0}
                               << QByteArray("121314") << true << true;
    QTest::newRow("1000 bytes") << result << 1000 << -1 << none << received("result.bin")
                                << QList<int>{51, 100, 100} << QByteArrayList{read0, read512}
                                << QByteArray("12131314") << true << true;
    QTest::newRow("existing local file replaced")
        << result << 10 << 2000 << none << received("result.bin") << QList<int>{100, 100}
        << QByteArrayList{QByteArray::fromHex("090013" "00000000" "0a000000")}
        << QByteArray("121314") << true << true;
    // The name field holds 24 bytes with its terminating NUL.
    const QString name23 = "abcdefghijklmnopqrstuvw";
    const QString name24 = QString::fromUtf8("\xc3\xa9") + name23.left(22);  // 23 characters
    QTest::newRow("23-byte name") << QStringList{name23} << 0 << -1 << none << received(name23)
                                  << QList<int>{100} << QByteArrayList{} << QByteArray("1214")
                                  << true << true;
    QTest::newRow("24-byte name refused, earlier copy kept")
        << QStringList{name24} << 10 << 2000 << none
        << QStringList{"0File for reading: " + name24,
                       "1The file name is too long for the device: " + name24}
        << QList<int>{} << QByteArrayList{} << QByteArray() << false << false;
    QTest::newRow("missing on the device, earlier copy kept, later files not fetched")
        << QStringList{"result.bin", "other.bin"} << -1 << 2000 << none
        << QStringList{"0File for reading: result.bin",
                       "1Unable to open the file on the device: result.bin"}
        << QList<int>{} << QByteArrayList{} << QByteArray("12") << false << false;
    QTest::newRow("missing local sub-folder")
        << QStringList{"logs/result.bin"} << 10 << -1 << none
        << QStringList{"0File for reading: logs/result.bin", "1File opening error"} << QList<int>{}
        << QByteArrayList{} << QByteArray() << false << false;
    QTest::newRow("device error mid-file, earlier copy kept")
        << result << 1000 << 2000 << "device error"
        << (getting + QStringList{"1Unable to get the data from the device"})
        << QList<int>{51, 100} << QByteArrayList{read0, read512} << QByteArray("12131314") << false
        << false;
    QTest::newRow("stopped mid-file, earlier copy kept")
        << result << 1000 << 2000 << "stop" << getting << QList<int>{51, 100}
        << QByteArrayList{read0} << QByteArray("1213") << false << false;
    QTest::newRow("disk full, earlier copy kept")
        << result << 1000 << 2000 << "disk full"
        << (getting + QStringList{"1Unable to write the data to the disk"}) << QList<int>{100}
        << QByteArrayList{read0} << QByteArray("121314") << false << false;
}

void FileRetrievalTest::fetch()
{
    QFETCH(QStringList, names);
    QFETCH(int, deviceSize);
    QFETCH(int, localBefore);
    QFETCH(QString, event);
    QFETCH(QStringList, lines);
    QFETCH(QList<int>, progress);
    QFETCH(QByteArrayList, reads);
    QFETCH(QByteArray, codes);
    QFETCH(bool, replaced);
    QFETCH(bool, succeeded);

    const QByteArray content = pattern(qMax(deviceSize, 0));
    if (deviceSize >= 0)
        QVERIFY(writeFile(m_deviceFs + "/" + names.first(), content));
    QVERIFY(writeFile(m_deviceFs + "/other.bin", "other"));
    const QString localPath = m_localFolder + "/" + names.first();
    const QByteArray before(qMax(localBefore, 0), 'x');
    if (localBefore >= 0)
        QVERIFY(writeFile(localPath, before));
    std::atomic<bool> running{true};
    m_protocol.setRunningFlag(&running);
    // The first progress value comes after the first chunk and before the second request.
    connect(&m_logger, &Logger_c::sigProgress, m_recorder.get(), [&] {
        if (event == "device error")
            m_device->setFault(0x13, devsim::Fault{devsim::ErrorMode::NonZeroResult, 1, -1});
        else if (event == "stop")
            running = false;
    });
    // A full disk: the process may not grow any file beyond 100 bytes.
    rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit full{100, limit.rlim_max};
    if (event == "disk full") {
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &full);
    }

    QList<FlashFileEntry> files;
    for (const QString& name : names)
        files << FlashFileEntry{name, 0};
    FileLoader_c loader(&m_protocol, files, m_localFolder, 0x0102, &m_logger);
    int finished = 0;
    connect(&loader, &FileLoader_c::sigFinish, this, [&finished] { ++finished; });
    loader.doGetFiles();
    setrlimit(RLIMIT_FSIZE, &limit);
    m_protocol.setRunningFlag(nullptr);

    QCOMPARE(m_recorder->log, lines);
    QCOMPARE(m_recorder->progress, progress);
    QCOMPARE(requestsWithCode(0x13), reads);
    QCOMPARE(codesOf(*m_device).toHex(), codes);
    QCOMPARE(finished, 1);
    QCOMPARE(loader.lastRunSucceeded(), succeeded);
    if (replaced)
        QCOMPARE(readAll(localPath), content);
    else if (localBefore >= 0)
        QCOMPARE(readAll(localPath), before);
    else
        QVERIFY(!QFile::exists(localPath));
    // Nothing else is left beside it: no partial or temporary file.
    QCOMPARE(QDir(m_localFolder).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QFile::exists(localPath) ? QStringList{names.first()} : QStringList{});
}

void FileRetrievalTest::startRequestLayout()
{
    QVERIFY(writeFile(m_deviceFs + "/logs/run.txt", "abc"));
    QVERIFY(QDir(m_localFolder).mkpath("logs"));
    FileLoader_c loader(&m_protocol, {FlashFileEntry{"logs/run.txt", 1}}, m_localFolder, 0x0102, &m_logger);
    loader.doGetFiles();

    // Selector 0x0102, then the name in a 24-byte field padded with NUL bytes.
    QCOMPARE(requestsWithCode(0x12),
             QByteArrayList{QByteArray::fromHex("1b0012" "0201" "6c6f67732f72756e2e747874"
                                                "000000000000000000000000")});
    QCOMPARE(readAll(m_localFolder + "/logs/run.txt"), QByteArray("abc"));
    QCOMPARE(m_recorder->labels, QStringList{"Starting the file getting"});
    QCOMPARE(m_recorder->log.last(), QString("4File getting is complete"));
}

void FileRetrievalTest::closedPort()
{
    m_protocol.closeIfOpen();
    QVERIFY(writeFile(m_localFolder + "/result.bin", "keep"));
    FileLoader_c loader(&m_protocol, {FlashFileEntry{"result.bin", 0}}, m_localFolder, 0, &m_logger);
    loader.doGetFiles();

    QCOMPARE(m_recorder->log, QStringList{"0No COM ports open"});
    QCOMPARE(readAll(m_localFolder + "/result.bin"), QByteArray("keep"));
    QVERIFY(!loader.lastRunSucceeded());
}

QTEST_GUILESS_MAIN(FileRetrievalTest)
#include "tst_file_retrieval.moc"
