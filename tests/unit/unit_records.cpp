// The record writers on their own: exact bytes, LF line ends, the header only for a file that did
// not exist, and a failed write (a FIFO, a full disk) leaves both files as they were.
#include <QTemporaryDir>
#include <QtTest>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "records.h"
#include "test_support.h"
#include "unit.h"

using namespace prodtest;

class RecordLines : public QObject
{
    Q_OBJECT
private slots:
    void records_data();
    void records();
};

void RecordLines::records_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("sizeLimit");   // bytes a file may grow to (a full disk); 0: none
    QTest::addColumn<QByteArray>("keys"); // before; null: no file yet
    QTest::addColumn<QByteArray>("macs"); // before; null: no file yet
    QTest::addColumn<quint64>("id");
    QTest::addColumn<QByteArray>("keysAfter"); // null: no regular file there
    QTest::addColumn<QByteArray>("macsAfter");
    QTest::addColumn<QString>("message");

    const quint64 max = 18446744073709551615ull;
    const QByteArray keyMax =
        "{\"device_id\": 18446744073709551615, \"key\": \"AAECAwQFBgcICQoLDA0O"
        "DxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+"
        "Pw==\"}\n";
    const QByteArray macMax = "18446744073709551615\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";
    const QByteArray keys = "{}\n";
    const QByteArray macs = kMacHeader + "7\tA\tB\n";
    const QByteArray none;
    const QString ok;

    QTest::newRow("new files, the MAC file with its header")
        << ok << 0 << none << none << quint64(1234) << kKeyLine1234 << kMacHeader + kMacLine1234
        << ok;
    QTest::newRow("appended, largest ID")
        << ok << 0 << keys << macs << max << keys + keyMax << macs + macMax << ok;
    QTest::newRow("empty MAC file, no header")
        << ok << 0 << none << QByteArray("") << quint64(1234) << kKeyLine1234 << kMacLine1234 << ok;
    QTest::newRow("MAC folder missing") << "no MAC folder" << 0 << keys << none << quint64(1234)
                                        << keys << none << "MAC file opening error";
#ifndef Q_OS_WIN
    // A link to a record file elsewhere is written through.
    QTest::newRow("keys: a link to the file") << "link" << 0 << none << macs << quint64(1234)
                                              << keys + kKeyLine1234 << macs + kMacLine1234 << ok;
    // Writes would vanish into it, and one without a reader could block the open.
    QTest::newRow("keys: record is a FIFO") << "FIFO" << 0 << none << macs << quint64(1234) << none
                                            << macs << "Public keys file opening error";
    // Part of the line fits: it is undone, the file is as it was.
    QTest::newRow("keys: disk full") << ok << 13 << keys << macs << quint64(1234) << keys << macs
                                     << "Public keys file writing error";
    // The key line is written, the MAC line is not: the key line is taken back.
    const QByteArray longMacs = macs + QByteArray(143, '#') + '\n';
    QTest::newRow("MAC: disk full") << ok << 220 << keys << longMacs << quint64(1234) << keys
                                    << longMacs << "MAC file data writing error";
#endif
}

void RecordLines::records()
{
    QFETCH(QString, fault);
    QFETCH(int, sizeLimit);
    QFETCH(QByteArray, keys);
    QFETCH(QByteArray, macs);
    QFETCH(quint64, id);
    QFETCH(QByteArray, keysAfter);
    QFETCH(QByteArray, macsAfter);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString keysFile = dir.path() + "/Keys/public_keys.json";
    const QString macFile = dir.path() + "/MAC/MACs.txt";
    QVERIFY(QDir().mkpath(dir.path() + "/Keys"));
    if (fault != "no MAC folder")
        QVERIFY(QDir().mkpath(dir.path() + "/MAC"));
    if (!keys.isNull())
        QVERIFY(writeFile(keysFile, keys));
    if (!macs.isNull())
        QVERIFY(writeFile(macFile, macs));
#ifndef Q_OS_WIN
    if (fault == "FIFO")
        QVERIFY(mkfifo(QFile::encodeName(keysFile).constData(), 0600) == 0);
    if (fault == "link")
        QVERIFY(writeFile(dir.path() + "/keys.json", "{}\n") &&
                QFile::link(dir.path() + "/keys.json", keysFile));
    // What the append takes, the run's pre-flight check lets through.
    if (message.isEmpty())
        QCOMPARE(RecordFiles(keysFile, macFile).blocker(), QString());
    rlimit limit;
    QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
    if (sizeLimit) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit full{rlim_t(sizeLimit), limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
    }
#else
    Q_UNUSED(sizeLimit) // the rows of a full disk are POSIX only
#endif
    const std::vector<uint8_t> key = fixedKey();
    const QString failure =
        RecordFiles(keysFile, macFile)
            .append(id, QByteArray(reinterpret_cast<const char*>(key.data()), 64),
                    "00:1A:2B:3C:4D:5E", "00:1A:2B:3C:4D:5F");
#ifndef Q_OS_WIN
    setrlimit(RLIMIT_FSIZE, &limit);
#endif

    QCOMPARE(failure, message);
    for (const auto& [file, after] : {std::pair{keysFile, keysAfter}, {macFile, macsAfter}}) {
        if (after.isNull())
            QVERIFY(!QFileInfo(file).isFile());
        else
            QCOMPARE(readAll(file), after);
    }
    // Nothing is left beside them.
    QCOMPARE(QDir(dir.path() + "/MAC").entryList(QDir::Files).size(), macsAfter.isNull() ? 0 : 1);
}

UNIT_TEST(RecordLines)
#include "unit_records.moc"
