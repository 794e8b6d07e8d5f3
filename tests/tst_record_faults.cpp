// The record writers when the disk refuses: a read-only folder, a full file system, a record file
// that is a folder. Each failure gives its red line, restarts the device, ends the run, and leaves
// the record file as it was, byte for byte.
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {

enum Target { Keys, Macs };
enum DiskFault { ReadOnly, Full, RecordIsFolder, RecordIsFifo, RecordLinksToNull };

constexpr int kPage = 4096;

// Whole lines of the record's kind, exactly `size` bytes long.
QByteArray wholeLines(Target target, int size)
{
    const QByteArray first = target == Macs ? "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n"
                                            : "{\"device_id\": 1, \"key\": \"AAAA\"}\n";
    const QByteArray line = target == Macs ? "1\t00:00:00:00:00:01\t00:00:00:00:00:02\n"
                                           : "{\"device_id\": 2, \"key\": \"BBBB\"}\n";
    QByteArray bytes = first;
    while (size - bytes.size() >= 2 * line.size())
        bytes += line;
    if (bytes.size() < size)
        bytes += QByteArray(size - bytes.size() - 1, 'x') + '\n';
    return bytes;
}

// Mounts made here are undone when the guard goes, and with the process in any case, since the
// test runs in a mount namespace of its own when it can have one.
class Mount
{
public:
    ~Mount()
    {
        if (!m_target.isEmpty() && umount(m_target.toLocal8Bit().constData()) != 0)
            umount2(m_target.toLocal8Bit().constData(), MNT_DETACH);
    }
    QString error() const { return m_error; }

    bool tmpfs(const QString& target, int bytes)
    {
        const QByteArray options = "size=" + QByteArray::number(bytes);
        return attempt(target, mount("veltora-test", target.toLocal8Bit().constData(), "tmpfs", 0,
                                     options.constData()));
    }
    bool readOnly(const QString& target)
    {
        const QByteArray path = target.toLocal8Bit();
        if (!attempt(target, mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr)))
            return false;
        if (mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
            m_error = QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        return true;
    }

private:
    bool attempt(const QString& target, int rc)
    {
        if (rc != 0) {
            m_error = QString::fromLocal8Bit(strerror(errno));
            return false;
        }
        m_target = target;
        return true;
    }
    QString m_target;
    QString m_error;
};

// Takes every byte the file system has left.
bool fill(const QString& path)
{
    QFile filler(path);
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray page(kPage, 'f');
    while (filler.write(page) == page.size()) {
    }
    while (filler.write("f", 1) == 1) {
    }
    return true;
}

} // namespace

class TestRecordFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void diskFaults_data();
    void diskFaults();
};

void TestRecordFaults::initTestCase()
{
    // Best effort: a private mount namespace keeps the test's mounts from the rest of the machine.
    if (unshare(CLONE_NEWNS) == 0)
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
}

void TestRecordFaults::diskFaults_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("fault");
    QTest::addColumn<QByteArray>("before");  // null: no record file yet
    QTest::addColumn<QString>("message");

    const QString keysOpen = "Public keys file opening error";
    const QString keysWrite = "Public keys file writing error";
    const QString macOpen = "MAC file opening error";
    const QString macWrite = "MAC file data writing error";

    for (Target target : {Keys, Macs}) {
        const char* name = target == Keys ? "keys" : "MAC";
        const QString open = target == Keys ? keysOpen : macOpen;
        const QString write = target == Keys ? keysWrite : macWrite;
        QTest::addRow("%s: read-only folder", name)
            << int(target) << int(ReadOnly) << wholeLines(target, 300) << open;
        QTest::addRow("%s: read-only folder, no file yet", name)
            << int(target) << int(ReadOnly) << QByteArray() << open;
        // The file ends on a page boundary: not one byte of the new line fits.
        QTest::addRow("%s: full, nothing fits", name)
            << int(target) << int(Full) << wholeLines(target, kPage) << write;
        // The first ten bytes of the new line fit, the rest does not.
        QTest::addRow("%s: full, part of the line fits", name)
            << int(target) << int(Full) << wholeLines(target, kPage - 10) << write;
        QTest::addRow("%s: full, no file yet", name)
            << int(target) << int(Full) << QByteArray() << write;
        QTest::addRow("%s: record file is a folder", name)
            << int(target) << int(RecordIsFolder) << QByteArray() << open;
        // Writes would vanish into these, and a FIFO without a reader could block the open.
        QTest::addRow("%s: record file is a FIFO", name)
            << int(target) << int(RecordIsFifo) << QByteArray() << open;
        QTest::addRow("%s: record file links to /dev/null", name)
            << int(target) << int(RecordLinksToNull) << QByteArray() << open;
    }
}

void TestRecordFaults::diskFaults()
{
    QFETCH(int, target);
    QFETCH(int, fault);
    QFETCH(QByteArray, before);
    QFETCH(QString, message);

    Bench bench;
    setStationDir(bench.station());
    const QString folder = bench.station() + (target == Keys ? "/Keys" : "/MAC");
    const QString record = folder + (target == Keys ? "/public_keys.json" : "/MACs.txt");
    QVERIFY(QDir().mkpath(bench.station() + "/Production"));
    QVERIFY(QDir().mkpath(folder));

    Mount mount;
    switch (DiskFault(fault)) {
    case ReadOnly:
        if (!before.isNull())
            QVERIFY(writeFile(record, before));
        if (!mount.readOnly(folder))
            QSKIP(qPrintable("a read-only bind mount needs root (CAP_SYS_ADMIN): " + mount.error()));
        break;
    case Full:
        if (!mount.tmpfs(folder, 4 * kPage))
            QSKIP(qPrintable("a small tmpfs needs root (CAP_SYS_ADMIN): " + mount.error()));
        if (!before.isNull())
            QVERIFY(writeFile(record, before));
        QVERIFY(fill(folder + "/filler"));
        break;
    case RecordIsFolder:
        QVERIFY(QDir().mkpath(record + "/inside"));
        break;
    case RecordIsFifo:
        QVERIFY(mkfifo(QFile::encodeName(record).constData(), 0600) == 0);
        break;
    case RecordLinksToNull:
        QVERIFY(QFile::link("/dev/null", record));
        break;
    }

    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);
    Logger_c logger;
    Flashing_c worker(1234, false, "/Production/", true, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    QVERIFY(!worker.protocol()->open(QString::fromStdString(device->portPath())));

    QByteArray key(64, '\0');
    for (int i = 0; i < key.size(); ++i)
        key[i] = char(0xA0 + i);
    const bool written = target == Keys
                             ? worker.writePublicKeyRecord(1234, key)
                             : worker.writeMacRecord(1234, "00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5F");

    QVERIFY(!written);
    QCOMPARE(recorder.log, QStringList{"1" + message});
    QCOMPARE(recorder.labels, QStringList{message});
    QCOMPARE(recorder.finishes, QList<bool>{false});
    QVERIFY(device->waitForRequests(0x08, 1, 2000));
    QCOMPARE(device->commandCodes(), std::vector<uint8_t>{0x08});

    if (fault == RecordIsFolder) {
        QCOMPARE(QDir(record).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"inside"});
    } else if (fault != ReadOnly && fault != Full) {
        QVERIFY(QFileInfo::exists(record) && !QFileInfo(record).isFile());
    } else if (before.isNull()) {
        QVERIFY2(!QFile::exists(record), readAll(record).constData());
    } else {
        QCOMPARE(readAll(record), before);
    }
}

QTEST_GUILESS_MAIN(TestRecordFaults)
#include "tst_record_faults.moc"
