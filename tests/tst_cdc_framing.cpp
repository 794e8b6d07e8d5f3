#include "cdc_framing.h"

#include <QRandomGenerator>
#include <QtTest>

// The byte stuffing on its own: encoded requests and decoded responses, byte for byte.
class CdcFramingTest : public QObject
{
    Q_OBJECT

private slots:
    void encode_data();
    void encode();
    void decode_data();
    void decode();
    void decodeStaysInsideBuffers();
    void roundTripRandomFrames();
};

void CdcFramingTest::encode_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("empty payload") << 0x01 << QByteArray() << QByteArray::fromHex("010001c0");
    QTest::newRow("reboot") << 0x08 << QByteArray() << QByteArray::fromHex("010008c0");
    QTest::newRow("set parameter 17") << 0x0F << QByteArray::fromHex("110000")
                                      << QByteArray::fromHex("04000f110000c0");
    QTest::newRow("191 bytes: length C0 escaped")
        << 0x0F << QByteArray(191, '\x55')
        << QByteArray::fromHex("dbdc000f") + QByteArray(191, '\x55') + QByteArray::fromHex("c0");
    QTest::newRow("length DB escaped") << 0x03 << QByteArray(218, '\x00')
                                       << QByteArray::fromHex("dbdd0003") + QByteArray(218, '\x00')
                                              + QByteArray::fromHex("c0");
    QTest::newRow("payload specials") << 0x03 << QByteArray::fromHex("c0db01dcdd")
                                      << QByteArray::fromHex("060003dbdcdbdd01dcddc0");
    QTest::newRow("command C0") << 0xC0 << QByteArray() << QByteArray::fromHex("0100dbdcc0");
}

void CdcFramingTest::encode()
{
    QFETCH(int, command);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, line);

    QByteArray out(2 * (payload.size() + 3) + 1, '\0');
    const size_t n = cdc::encodeFrame(reinterpret_cast<uint8_t*>(out.data()), uint8_t(command),
                                      reinterpret_cast<const uint8_t*>(payload.constData()),
                                      size_t(payload.size()));
    QCOMPARE(out.left(int(n)).toHex(), line.toHex());
}

void CdcFramingTest::decode_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("result byte 0") << QByteArray::fromHex("02000400c0") << 512 << false
                                   << QByteArray::fromHex("02000400");
    QTest::newRow("escapes") << QByteArray::fromHex("dbdcdbddc0") << 512 << false
                             << QByteArray::fromHex("c0db");
    QTest::newRow("only the first frame") << QByteArray::fromHex("010001c0020002ffc0") << 512
                                          << false << QByteArray::fromHex("010001");
    QTest::newRow("END first: empty frame") << QByteArray::fromHex("c0010001c0") << 512 << false
                                            << QByteArray();
    QTest::newRow("pending escape dropped") << QByteArray::fromHex("0100dbc0") << 512 << false
                                            << QByteArray::fromHex("0100");
    QTest::newRow("bad escape") << QByteArray::fromHex("0100db01c0") << 512 << true << QByteArray();
    QTest::newRow("no END byte") << QByteArray::fromHex("02000400") << 512 << true << QByteArray();
    QTest::newRow("nothing read") << QByteArray() << 512 << true << QByteArray();
    QTest::newRow("fills the area") << QByteArray(512, '\x11') + '\xC0' << 512 << false
                                    << QByteArray(512, '\x11');
    QTest::newRow("one byte over the area") << QByteArray(513, '\x11') + '\xC0' << 512 << true
                                            << QByteArray();
    QTest::newRow("escaped byte over the area") << QByteArray(4, '\x11') + "\xDB\xDC\xC0" << 4
                                                << true << QByteArray();
}

void CdcFramingTest::decode()
{
    QFETCH(QByteArray, line);
    QFETCH(int, capacity);
    QFETCH(bool, failed);
    QFETCH(QByteArray, frame);

    QByteArray out(capacity, '\0');
    size_t count = size_t(line.size());
    QCOMPARE(cdc::unescapeFrame(reinterpret_cast<uint8_t*>(out.data()), size_t(capacity),
                                reinterpret_cast<const uint8_t*>(line.constData()), count),
             failed);
    QCOMPARE(int(count), frame.size());
    QCOMPARE(out.left(int(count)).toHex(), frame.toHex());
}

void CdcFramingTest::decodeStaysInsideBuffers()
{
    // The END byte lies just past the bytes of the read, the guard just past the area.
    const QByteArray in = QByteArray::fromHex("0100010203c0");
    QByteArray out(8, '\x77');
    size_t count = 5;
    QVERIFY(cdc::unescapeFrame(reinterpret_cast<uint8_t*>(out.data()), 8,
                               reinterpret_cast<const uint8_t*>(in.constData()), count));
    QCOMPARE(int(count), 0);

    out.fill('\x77');
    const QByteArray longer = QByteArray(6, '\x22') + '\xC0';
    count = size_t(longer.size());
    QVERIFY(cdc::unescapeFrame(reinterpret_cast<uint8_t*>(out.data()), 4,
                               reinterpret_cast<const uint8_t*>(longer.constData()), count));
    QCOMPARE(out.mid(4).toHex(), QByteArray("77777777"));
}

void CdcFramingTest::roundTripRandomFrames()
{
    QRandomGenerator rng(20240611);
    QByteArray out(1024, '\0');
    std::vector<uint8_t> encoded(2 * 1024 + 1);
    for (int i = 0; i < 5000; ++i) {
        QByteArray payload(int(rng.bounded(1021)), '\0');
        // Lean on the special bytes so escapes and near-escapes are frequent.
        for (char& c : payload) {
            const quint32 pick = rng.bounded(4);
            c = char(pick == 0 ? 0xC0 : pick == 1 ? 0xDB : rng.bounded(256));
        }
        const uint8_t command = uint8_t(rng.bounded(256));
        const size_t n = cdc::encodeFrame(encoded.data(), command,
                                          reinterpret_cast<const uint8_t*>(payload.constData()),
                                          size_t(payload.size()));
        QCOMPARE(int(std::count(encoded.begin(), encoded.begin() + long(n), 0xC0)), 1);
        size_t count = n;
        QVERIFY(!cdc::unescapeFrame(reinterpret_cast<uint8_t*>(out.data()), size_t(out.size()),
                                    encoded.data(), count));
        const int length = payload.size() + 1;
        const QByteArray expected = QByteArray(1, char(length & 0xFF))
                                    + char((length >> 8) & 0xFF) + char(command) + payload;
        QCOMPARE(out.left(int(count)), expected);
    }
}

QTEST_APPLESS_MAIN(CdcFramingTest)
#include "tst_cdc_framing.moc"
