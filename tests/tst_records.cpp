#include <QtTest>

#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

using namespace prodtest;

namespace {
const QByteArray kHeader = "Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n";
const char* kWifi = "00:1A:2B:3C:4D:5E";
const char* kEthernet = "00:1A:2B:3C:4D:5F";
} // namespace

class TestRecords : public QObject
{
    Q_OBJECT
private slots:
    void lines_data();
    void lines();
    void failures_data();
    void failures();
};

void TestRecords::lines_data()
{
    QTest::addColumn<QByteArray>("macBefore");  // null: no file
    QTest::addColumn<QByteArray>("keysBefore");
    QTest::addColumn<QByteArray>("macAfter");
    QTest::addColumn<QByteArray>("keysAfter");

    const QByteArray key1234 = "{\"device_id\": 1234, \"key\": \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==\"}\n";
    const QByteArray keyMax = "{\"device_id\": 18446744073709551615, \"key\": \"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+Pw==\"}\n";
    const QByteArray mac1234 = "1234\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";
    const QByteArray macMax = "18446744073709551615\t00:1A:2B:3C:4D:5E\t00:1A:2B:3C:4D:5F\n";

    QTest::newRow("new files") << QByteArray() << QByteArray() << kHeader + mac1234 + macMax
                               << key1234 + keyMax;
    QTest::newRow("existing empty files") << QByteArray("") << QByteArray("") << mac1234 + macMax
                                          << key1234 + keyMax;
    QTest::newRow("existing lines") << kHeader + "7\tA\tB\n" << QByteArray("{}\n")
                                    << kHeader + "7\tA\tB\n" + mac1234 + macMax
                                    << "{}\n" + key1234 + keyMax;
}

// Two devices appended to both records: exact bytes, LF line ends, the header only for a file
// that did not exist, the largest Device ID in full.
void TestRecords::lines()
{
    QFETCH(QByteArray, macBefore);
    QFETCH(QByteArray, keysBefore);
    QFETCH(QByteArray, macAfter);
    QFETCH(QByteArray, keysAfter);

    Bench bench;
    setStationDir(bench.station());
    QVERIFY(QDir().mkpath(bench.station() + "/Production"));
    QVERIFY(QDir().mkpath(bench.station() + "/Keys"));
    QVERIFY(QDir().mkpath(bench.station() + "/MAC"));
    const QString macs = bench.station() + "/MAC/MACs.txt";
    const QString keys = bench.station() + "/Keys/public_keys.json";
    if (!macBefore.isNull())
        QVERIFY(writeFile(macs, macBefore));
    if (!keysBefore.isNull())
        QVERIFY(writeFile(keys, keysBefore));

    Logger_c logger;
    Flashing_c worker(1, false, "/Production/", true, &logger);
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    QByteArray key(64, '\0');
    for (int i = 0; i < key.size(); ++i)
        key[i] = char(i);
    for (quint64 id : {quint64(1234), quint64(18446744073709551615ull)}) {
        QVERIFY(worker.writePublicKeyRecord(id, key));
        QVERIFY(worker.writeMacRecord(id, kWifi, kEthernet));
    }

    QCOMPARE(readAll(macs), macAfter);
    QCOMPARE(readAll(keys), keysAfter);
    QCOMPARE(recorder.log, (QStringList{"4The public key has been read successfully",
                                        "4The public key has been read successfully"}));
    QVERIFY(recorder.finishes.isEmpty());
}

void TestRecords::failures_data()
{
    QTest::addColumn<QString>("broken");  // what is missing or full
    QTest::addColumn<bool>("macRecord");  // which record is written
    QTest::addColumn<QString>("message");

    QTest::newRow("keys folder missing") << "Keys" << false << "Public keys file opening error";
    QTest::newRow("keys file full") << "Keys/public_keys.json" << false
                                    << "Public keys file writing error";
    QTest::newRow("MAC folder missing") << "MAC" << true << "MAC file opening error";
    QTest::newRow("MAC file full") << "MAC/MACs.txt" << true << "MAC file data writing error";
}

// A record that cannot be written fails the run: one red line with the label, a restart of the
// device and on_flashFinish(false).
void TestRecords::failures()
{
    QFETCH(QString, broken);
    QFETCH(bool, macRecord);
    QFETCH(QString, message);

    Bench bench;
    setStationDir(bench.station());
    for (const char* folder : {"Production", "Keys", "MAC"}) {
        if (broken != folder)
            QVERIFY(QDir().mkpath(bench.station() + '/' + folder));
    }
    if (broken.contains('/'))
        QVERIFY(QFile::link("/dev/full", bench.station() + '/' + broken));
    devsim::Device* device = bench.start(bench.config());
    QVERIFY(device);

    Logger_c logger;
    Flashing_c worker(1234, false, "/Production/", true, &logger);
    QVERIFY(!worker.protocol()->open(QString::fromStdString(device->portPath())));
    Recorder recorder;
    recorder.attach(logger);
    recorder.attach(worker);
    const bool written = macRecord ? worker.writeMacRecord(1234, kWifi, kEthernet)
                                   : worker.writePublicKeyRecord(1234, QByteArray(64, 'k'));

    QVERIFY(!written);
    QCOMPARE(recorder.log, QStringList{"1" + message});
    QCOMPARE(recorder.labels, QStringList{message});
    QCOMPARE(recorder.finishes, QList<bool>{false});
    QVERIFY(device->waitForRequests(0x08, 1, 5000));
    QCOMPARE(device->commandCodes(), std::vector<uint8_t>{0x08});
    // The other record is not touched.
    QVERIFY(!QFile::exists(bench.station() +
                           (macRecord ? "/Keys/public_keys.json" : "/MAC/MACs.txt")));
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
