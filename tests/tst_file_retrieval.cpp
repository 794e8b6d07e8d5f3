// Fetching files from the simulated device into a local folder: what lands on disk, what the
// device was asked for, and what the operator sees.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "devsim.h"
#include "file_loader.h"
#include "logger.h"
#include "usb_cdc_protocol.h"

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

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
    QList<QByteArray> requestsWithCode(uint8_t code) const;

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<devsim::Device> m_device;
    QString m_deviceFs;
    QString m_localFolder;
    cUSB_CDC_Protocol m_protocol;
    Logger_c m_logger;
    QStringList m_lines;
    QStringList m_labels;
    QList<int> m_progress;
};

void FileRetrievalTest::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    const QString root = m_tmp->path();
    QVERIFY(QDir(root).mkpath("sim"));
    QVERIFY(QDir(root).mkpath("local"));
    m_deviceFs = root + "/devfs";
    m_localFolder = root + "/local";
    qputenv("VELTORA_EXTRA_PORTS", QFile::encodeName(root + "/ports"));

    devsim::Config config;
    config.dir = QFile::encodeName(root + "/sim").toStdString();
    config.portsFile = QFile::encodeName(root + "/ports").toStdString();
    config.fsRoot = QFile::encodeName(m_deviceFs).toStdString();
    m_device = std::make_unique<devsim::Device>(config);
    QVERIFY(m_device->start());
    QVERIFY(!m_protocol.open(QString::fromStdString(m_device->portPath())));

    m_lines.clear();
    m_labels.clear();
    m_progress.clear();
    m_logger.disconnect();
    connect(&m_logger, &Logger_c::sigLog, this, [this](const QString& line) { m_lines << line; });
    connect(&m_logger, &Logger_c::sigLabel, this, [this](const QString& text) { m_labels << text; });
    connect(&m_logger, &Logger_c::sigProgress, this, [this](int value) { m_progress << value; });
}

void FileRetrievalTest::cleanup()
{
    m_protocol.closeIfOpen();
    m_device.reset();
    m_tmp.reset();
}

QList<QByteArray> FileRetrievalTest::requestsWithCode(uint8_t code) const
{
    QList<QByteArray> frames;
    for (const std::vector<uint8_t>& request : m_device->requests()) {
        if (request.size() > 2 && request[2] == code)
            frames << QByteArray(reinterpret_cast<const char*>(request.data()), int(request.size()));
    }
    return frames;
}

void FileRetrievalTest::fetch_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("deviceSize");          // size of the first name on the device; -1 absent
    QTest::addColumn<int>("localBefore");         // bytes already in the local file; -1 none
    QTest::addColumn<bool>("failSecondChunk");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QByteArrayList>("reads");    // SendReadFile requests, header included
    QTest::addColumn<int>("localAfter");          // bytes of the device file expected locally; -1 absent
    QTest::addColumn<bool>("endSent");
    QTest::addColumn<bool>("succeeded");

    const QStringList received = {"0File for reading: result.bin", "0Starting the file getting",
                                  "4result.bin file was successfully received",
                                  "4File getting is complete"};
    QTest::newRow("0 bytes") << QStringList{"result.bin"} << 0 << -1 << false << received
                             << QList<int>{100} << QByteArrayList{} << 0 << true << true;
    QTest::newRow("512 bytes") << QStringList{"result.bin"} << 512 << -1 << false << received
                               << QList<int>{100, 100}
                               << QByteArrayList{QByteArray::fromHex("090013" "00000000" "00020000")}
                               << 512 << true << true;
    QTest::newRow("1000 bytes") << QStringList{"result.bin"} << 1000 << -1 << false << received
                                << QList<int>{51, 100, 100}
                                << QByteArrayList{QByteArray::fromHex("090013" "00000000" "00020000"),
                                                  QByteArray::fromHex("090013" "00020000" "e8010000")}
                                << 1000 << true << true;
    QTest::newRow("existing local file replaced")
        << QStringList{"result.bin"} << 10 << 2000 << false << received << QList<int>{100, 100}
        << QByteArrayList{QByteArray::fromHex("090013" "00000000" "0a000000")} << 10 << true << true;
    QTest::newRow("missing on the device, later files not fetched")
        << QStringList{"result.bin", "other.bin"} << -1 << -1 << false
        << QStringList{"0File for reading: result.bin"} << QList<int>{} << QByteArrayList{} << 0
        << false << false;
    QTest::newRow("missing local sub-folder")
        << QStringList{"logs/result.bin"} << 10 << -1 << false
        << QStringList{"0File for reading: logs/result.bin", "1File opening error"} << QList<int>{}
        << QByteArrayList{} << -1 << false << false;
    QTest::newRow("device error mid-file")
        << QStringList{"result.bin"} << 1000 << -1 << true
        << QStringList{"0File for reading: result.bin", "0Starting the file getting",
                       "1Unable to get the data from the device"}
        << QList<int>{51, 100}
        << QByteArrayList{QByteArray::fromHex("090013" "00000000" "00020000"),
                          QByteArray::fromHex("090013" "00020000" "e8010000")}
        << 512 << true << false;
}

void FileRetrievalTest::fetch()
{
    QFETCH(QStringList, names);
    QFETCH(int, deviceSize);
    QFETCH(int, localBefore);
    QFETCH(bool, failSecondChunk);
    QFETCH(QStringList, lines);
    QFETCH(QList<int>, progress);
    QFETCH(QByteArrayList, reads);
    QFETCH(int, localAfter);
    QFETCH(bool, endSent);
    QFETCH(bool, succeeded);

    const QByteArray content = pattern(qMax(deviceSize, 0));
    if (deviceSize >= 0)
        QVERIFY(writeFile(m_deviceFs + "/" + names.first(), content));
    QVERIFY(writeFile(m_deviceFs + "/other.bin", "other"));
    const QString localPath = m_localFolder + "/" + names.first();
    if (localBefore >= 0)
        QVERIFY(writeFile(localPath, QByteArray(localBefore, 'x')));
    if (failSecondChunk) {
        // The first progress value comes after the first chunk and before the second request.
        connect(&m_logger, &Logger_c::sigProgress, this, [this] {
            m_device->setFault(0x13, devsim::Fault{devsim::ErrorMode::NonZeroResult, 1, -1});
        });
    }

    QList<FlashFileEntry> files;
    for (const QString& name : names)
        files << FlashFileEntry{name, 0};
    FileLoader_c loader(&m_protocol, files, m_localFolder, 0x0102, &m_logger);
    int finished = 0;
    connect(&loader, &FileLoader_c::sigFinish, this, [&finished] { ++finished; });
    loader.doGetFiles();

    QCOMPARE(m_lines, lines);
    QCOMPARE(m_progress, progress);
    QCOMPARE(requestsWithCode(0x13), reads);
    QCOMPARE(!requestsWithCode(0x14).isEmpty(), endSent);
    QCOMPARE(finished, 1);
    QCOMPARE(loader.lastRunSucceeded(), succeeded);
    QCOMPARE(requestsWithCode(0x12).size(), localAfter < 0 ? 0 : 1);
    if (localAfter < 0)
        QVERIFY(!QFile::exists(localPath));
    else
        QCOMPARE(readFile(localPath), content.left(localAfter));
    QVERIFY(!QFile::exists(m_localFolder + "/other.bin"));
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
    QCOMPARE(readFile(m_localFolder + "/logs/run.txt"), QByteArray("abc"));
    QCOMPARE(m_labels, QStringList{"Starting the file getting"});
    QCOMPARE(m_lines.last(), QString("4File getting is complete"));
}

void FileRetrievalTest::closedPort()
{
    m_protocol.closeIfOpen();
    QVERIFY(writeFile(m_localFolder + "/result.bin", "keep"));
    FileLoader_c loader(&m_protocol, {FlashFileEntry{"result.bin", 0}}, m_localFolder, 0, &m_logger);
    loader.doGetFiles();

    QCOMPARE(m_lines, QStringList{"0No COM ports open"});
    QCOMPARE(readFile(m_localFolder + "/result.bin"), QByteArray("keep"));
    QVERIFY(!loader.lastRunSucceeded());
}

QTEST_GUILESS_MAIN(FileRetrievalTest)
#include "tst_file_retrieval.moc"
