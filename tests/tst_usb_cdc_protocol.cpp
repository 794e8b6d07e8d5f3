#include "link_pty_peer.h"
#include "usb_cdc_protocol.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QtTest>
#include <time.h>

namespace {

QStringList g_debug;
QMutex g_debugMutex;

void captureDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg)
        return;
    QMutexLocker lock(&g_debugMutex);
    g_debug << text;
}

// Collects the debug lines written while it lives.
class DebugCapture
{
public:
    DebugCapture() : m_previous(qInstallMessageHandler(captureDebug))
    {
        QMutexLocker lock(&g_debugMutex);
        g_debug.clear();
    }
    ~DebugCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const
    {
        QMutexLocker lock(&g_debugMutex);
        return g_debug;
    }

private:
    QtMessageHandler m_previous;
};

qint64 threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

QByteArray hexOf(const uint8_t* p, int n)
{
    return QByteArray(reinterpret_cast<const char*>(p), n).toHex();
}

// Runs one command with fixed arguments; returns its outputs as text.
QString runCommand(cUSB_CDC_Protocol& link, const QString& op, bool& failed)
{
    if (op == "GetVersion" || op == "QueryVersion") {
        QString text = "old";
        failed = op == "GetVersion" ? link.SendGetVersion(text) : link.SendQueryVersion(text);
        return text + (link.versionReported() ? "|reported" : "|none");
    }
    if (op == "StartESP") {
        failed = link.SendStartESP("fw.bin", 0x01020304);
        return {};
    }
    if (op == "WriteESP") {
        const uint8_t data[3] = {0xC0, 0xDB, 0x01};
        failed = link.SendWriteESP(0x200, data, 3);
        return {};
    }
    if (op == "EndESP") {
        failed = link.SendEndESP();
        return {};
    }
    if (op == "DeleteESP") {
        failed = link.SendDeleteESP("testres.bin");
        return {};
    }
    if (op == "SetDeviceID") {
        quint64 id = 0x0102030405060708ULL;
        failed = link.SendSetDeviceID(id);
        return QString::number(id, 16);
    }
    if (op == "Reboot") {
        failed = link.SendReboot();
        return {};
    }
    if (op == "LeaveBootloader") {
        failed = link.SendLeaveBootloader();
        return {};
    }
    if (op == "GetMACs") {
        uint8_t wifi[6], ethernet[6];
        memset(wifi, 0xEE, 6);
        memset(ethernet, 0xEE, 6);
        failed = link.SendGetMACs(wifi, ethernet);
        return hexOf(wifi, 6) + " " + hexOf(ethernet, 6);
    }
    if (op == "GetDeviceID") {
        quint64 id = 5;
        failed = link.SendGetDeviceID(id);
        return QString::number(id);
    }
    if (op == "GetStatusWord") {
        quint32 value = 7;
        failed = link.SendGetStatusWord(value);
        return QString::number(value);
    }
    if (op == "GetParameter") {
        uint8_t key[64 + 4];
        memset(key, 0xEE, sizeof key);
        quint16 length = 64;
        failed = link.SendGetParameter(17, key, length);
        return hexOf(key, int(length)) + "|" + QString::number(length) + "|" + hexOf(key + 64, 4);
    }
    if (op == "SetParameter") {
        const uint8_t create = 0;
        failed = link.SendSetParameter(17, &create, 1);
        return {};
    }
    if (op == "GetInfoBlock") {
        uint8_t block[200];
        memset(block, 0xEE, sizeof block);
        failed = link.SendGetInfoBlock(block);
        return hexOf(block, 200);
    }
    if (op == "GetRecord") {
        uint8_t record[24];
        memset(record, 0xEE, sizeof record);
        failed = link.SendGetRecord(1, 0x0203, record);
        return hexOf(record, 24);
    }
    if (op == "StartFileRead") {
        quint32 size = 99;
        failed = link.SendStartFileRead(5, "log.txt", size);
        return QString::number(size);
    }
    if (op == "ReadFile") {
        uint8_t data[4 + 4];
        memset(data, 0xEE, sizeof data);
        failed = link.SendReadFile(0x200, data, 4);
        return hexOf(data, 8);
    }
    if (op == "EndFileRead") {
        failed = link.SendEndFileRead();
        return {};
    }
    if (op == "Command7E") {
        failed = link.SendCommand7E();
        return {};
    }
    qFatal("unknown op");
}

// What each command puts on the line with the arguments of runCommand.
QByteArray requestOf(const QString& op)
{
    static const QHash<QString, QByteArray> requests = {
        {"GetVersion", "010001c0"},
        {"StartESP", "250002" "04030201" "66772e62696e" + QByteArray(52, '0') + "c0"},
        {"WriteESP", "0c0003" "00020000" "03000000" "dbdcdbdd01" "c0"},
        {"EndESP", "010004c0"},
        {"DeleteESP", "210005" "746573747265732e62696e" + QByteArray(42, '0') + "c0"},
        {"SetDeviceID", "090006" "0807060504030201" "c0"},
        {"Reboot", "010008c0"},
        {"LeaveBootloader", "010009c0"},
        {"GetMACs", "01000ac0"},
        {"GetDeviceID", "01000bc0"},
        {"QueryVersion", "01000cc0"},
        {"GetStatusWord", "01000dc0"},
        {"GetParameter", "03000e1100c0"},
        {"SetParameter", "04000f110000c0"},
        {"GetInfoBlock", "010010c0"},
        {"GetRecord", "050011" "0100" "0302" "c0"},
        {"StartFileRead", "1b0012" "0500" "6c6f672e747874" + QByteArray(34, '0') + "c0"},
        {"ReadFile", "090013" "00020000" "04000000" "c0"},
        {"EndFileRead", "010014c0"},
        {"Command7E", "01007ec0"},
    };
    return requests.value(op);
}

const QByteArray kSilent;

QByteArray wire(const char* hex)
{
    return QByteArray::fromHex(hex);
}

} // namespace

// The command set over a pseudo-terminal against a scripted device.
class UsbCdcProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void nameFields_data();
    void nameFields();
    void requestWith191BytePayload();
    void otherCodeSkippedBeforeTheRightOne();
    void lateAnswerToEarlierRequestIsDropped();
    void twoFramesInOneReadYieldTheFirst();
    void splitResponseIsNotReassembled();
    void oversizeFrameIsRejected();
    void byteAtATimeMatchesBulk_data();
    void byteAtATimeMatchesBulk();
    void silentDeviceTimesOutNearItsTimeout();
    void closedPortWaitsOutTheTimeout();
    void hungUpLineTimesOutWithoutSpinning();
    void openTwiceFails();
    void oversizeRequestsAreRefused();

private:
    void openLink(PtyPeer& peer, cUSB_CDC_Protocol& link);
};

void UsbCdcProtocolTest::openLink(PtyPeer& peer, cUSB_CDC_Protocol& link)
{
    QVERIFY(peer.isReady());
    QVERIFY(!link.open(peer.slavePath()));
    QVERIFY(link.portOpen());
}

void UsbCdcProtocolTest::commands_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("debug");

    const QStringList none;
    const QStringList timeout{"Timeout occurrued"};
    const QString noMacs = "000000000000 000000000000";
    const QString untouchedTail = "eeeeeeee";

    QTest::newRow("GetVersion text") << "GetVersion" << wire("080001465720332e3200c0") << false
                                     << "FW 3.2|reported" << none;
    QTest::newRow("GetVersion text to frame end") << "GetVersion" << wire("070001465720332e32c0")
                                                  << false << "FW 3.2|reported" << none;
    QTest::newRow("GetVersion UTF-8") << "GetVersion" << wire("05000156c3a900c0") << false
                                      << QString::fromUtf8("V\xC3\xA9|reported") << none;
    QTest::newRow("GetVersion empty text") << "GetVersion" << wire("02000100c0") << false
                                           << "old|none" << none;
    QTest::newRow("GetVersion no payload") << "GetVersion" << wire("010001c0") << false
                                           << "old|none" << none;
    QTest::newRow("GetVersion silent") << "GetVersion" << kSilent << true << "old|none" << timeout;
    QTest::newRow("QueryVersion text") << "QueryVersion"
                                       << wire("10000c426f6f746c6f6164657220312e3000c0") << false
                                       << "Bootloader 1.0|reported" << none;

    QTest::newRow("StartESP accepted") << "StartESP" << wire("02000200c0") << false << "" << none;
    QTest::newRow("StartESP refused") << "StartESP" << wire("02000205c0") << true << ""
                                      << QStringList{"CDC Error: SendStartESP result NOK, 5"};
    QTest::newRow("StartESP no result") << "StartESP" << wire("010002c0") << true << ""
                                        << QStringList{"CDC Error: SendStartESP result missing"};
    QTest::newRow("StartESP silent") << "StartESP" << kSilent << true << ""
                                     << QStringList{"Timeout occurrued",
                                                    "CDC Error: SendStartESP timeout"};
    QTest::newRow("WriteESP accepted") << "WriteESP" << wire("02000300c0") << false << "" << none;
    QTest::newRow("WriteESP refused") << "WriteESP" << wire("020003dbdcc0") << true << ""
                                      << QStringList{"CDC Error: SendWriteESP result NOK, 192"};
    QTest::newRow("WriteESP silent") << "WriteESP" << kSilent << true << ""
                                     << QStringList{"Timeout occurrued",
                                                    "CDC Error: SendWriteESP timeout"};
    QTest::newRow("EndESP result 0") << "EndESP" << wire("02000400c0") << false << "" << none;
    QTest::newRow("EndESP result 1") << "EndESP" << wire("02000401c0") << true << "" << none;
    QTest::newRow("EndESP silent") << "EndESP" << kSilent << true << "" << timeout;
    QTest::newRow("DeleteESP deleted") << "DeleteESP" << wire("02000500c0") << false << "" << none;
    QTest::newRow("DeleteESP absent") << "DeleteESP" << wire("02000502c0") << true << ""
                                      << QStringList{"CDC Error: SendDeleteESP result NOK, 2"};
    QTest::newRow("DeleteESP silent") << "DeleteESP" << kSilent << true << ""
                                      << QStringList{"Timeout occurrued",
                                                     "CDC Error: SendDeleteESP timeout"};

    QTest::newRow("SetDeviceID answer replaces") << "SetDeviceID"
                                                 << wire("0900062a00000000000000c0") << false
                                                 << "2a" << none;
    QTest::newRow("SetDeviceID short answer") << "SetDeviceID" << wire("05000601020304c0") << true
                                              << "102030405060708" << none;
    QTest::newRow("SetDeviceID silent") << "SetDeviceID" << kSilent << true << "102030405060708"
                                        << timeout;
    QTest::newRow("Reboot answered") << "Reboot" << wire("010008c0") << false << "" << none;
    QTest::newRow("Reboot answer with payload") << "Reboot" << wire("02000801c0") << false << ""
                                                << none;
    QTest::newRow("Reboot silent") << "Reboot" << kSilent << true << "" << timeout;
    QTest::newRow("LeaveBootloader answered") << "LeaveBootloader" << wire("010009c0") << false
                                              << "" << none;
    QTest::newRow("LeaveBootloader silent") << "LeaveBootloader" << kSilent << true << ""
                                            << timeout;

    QTest::newRow("GetMACs") << "GetMACs" << wire("0d000a001a2b3c4d5e001a2b3c4d5fc0") << false
                             << "001a2b3c4d5e 001a2b3c4d5f" << none;
    QTest::newRow("GetMACs no MACs") << "GetMACs" << wire("02000a00c0") << false << noMacs << none;
    QTest::newRow("GetMACs short") << "GetMACs" << wire("04000a010203c0") << true << noMacs
                                   << none;
    QTest::newRow("GetMACs silent") << "GetMACs" << kSilent << true << noMacs << timeout;
    QTest::newRow("GetDeviceID max") << "GetDeviceID" << wire("09000bffffffffffffffffc0") << false
                                     << "18446744073709551615" << none;
    QTest::newRow("GetDeviceID longer frame") << "GetDeviceID"
                                              << wire("0a000b2a0000000000000099c0") << false
                                              << "42" << none;
    QTest::newRow("GetDeviceID short") << "GetDeviceID" << wire("05000b01020304c0") << true << "5"
                                       << none;
    QTest::newRow("GetStatusWord") << "GetStatusWord" << wire("05000d01000080c0") << false
                                   << "2147483649" << none;
    QTest::newRow("GetStatusWord zero") << "GetStatusWord" << wire("05000d00000000c0") << true
                                        << "7" << none;

    QTest::newRow("GetParameter value") << "GetParameter" << wire("05000ea1b2c3d4c0") << false
                                        << "a1b2c3d4|4|" + untouchedTail << none;
    QTest::newRow("GetParameter empty value") << "GetParameter" << wire("01000ec0") << false
                                              << "|0|" + untouchedTail << none;
    QTest::newRow("GetParameter 64 bytes")
        << "GetParameter" << wire("41000e") + QByteArray(64, '\x44') + '\xC0' << false
        << QString(QByteArray(64, '\x44').toHex()) + "|64|" + untouchedTail << none;
    QTest::newRow("GetParameter 65 bytes")
        << "GetParameter" << wire("42000e") + QByteArray(65, '\x44') + '\xC0' << true
        << QString(QByteArray(64, '\xEE').toHex()) + "|64|" + untouchedTail
        << QStringList{"CDC Error: SendGetParameter value of 65 bytes exceeds the buffer of 64 bytes"};
    QTest::newRow("SetParameter answered") << "SetParameter" << wire("01000fc0") << false << ""
                                           << none;
    QTest::newRow("SetParameter silent") << "SetParameter" << kSilent << true << "" << timeout;

    const QString untouchedBlock = QByteArray(200, '\xEE').toHex();
    QTest::newRow("GetInfoBlock 203")
        << "GetInfoBlock" << wire("c90010") + QByteArray(200, '\x11') + '\xC0' << false
        << QString(QByteArray(200, '\x11').toHex()) << none;
    QTest::newRow("GetInfoBlock 202") << "GetInfoBlock"
                                      << wire("c80010") + QByteArray(199, '\x11') + '\xC0' << true
                                      << untouchedBlock << none;
    QTest::newRow("GetInfoBlock 204") << "GetInfoBlock"
                                      << wire("ca0010") + QByteArray(201, '\x11') + '\xC0' << true
                                      << untouchedBlock << none;
    QTest::newRow("GetRecord 35")
        << "GetRecord" << wire("210011") + QByteArray(24, '\x22') + QByteArray(8, '\x33') + '\xC0'
        << false << QString(QByteArray(24, '\x22').toHex()) << none;
    QTest::newRow("GetRecord 34") << "GetRecord" << wire("200011") + QByteArray(31, '\x22') + '\xC0'
                                  << true << QString(QByteArray(24, '\xEE').toHex()) << none;

    QTest::newRow("StartFileRead size") << "StartFileRead" << wire("050012e8030000c0") << false
                                        << "1000" << none;
    QTest::newRow("StartFileRead empty file") << "StartFileRead" << wire("05001200000000c0")
                                              << false << "0" << none;
    QTest::newRow("StartFileRead no such file")
        << "StartFileRead" << wire("050012ffffffffc0") << true << "0"
        << QStringList{"CDC Error: SendStartFileRead: file doesn't exist"};
    QTest::newRow("StartFileRead silent") << "StartFileRead" << kSilent << true << "0"
                                          << QStringList{"Timeout occurrued",
                                                         "CDC Error: SendStartFileRead timeout"};
    QTest::newRow("ReadFile n bytes") << "ReadFile" << wire("05001301020304c0") << false
                                      << "01020304eeeeeeee" << none;
    QTest::newRow("ReadFile one byte short") << "ReadFile" << wire("040013070809c0") << true
                                             << "eeeeeeeeeeeeeeee"
                                             << QStringList{"CDC Error: SendReadFile result NOK, 7"};
    QTest::newRow("ReadFile one byte long") << "ReadFile" << wire("0600130102030405c0") << true
                                            << "eeeeeeeeeeeeeeee"
                                            << QStringList{"CDC Error: SendReadFile result NOK, 1"};
    QTest::newRow("ReadFile silent") << "ReadFile" << kSilent << true << "eeeeeeeeeeeeeeee"
                                     << QStringList{"Timeout occurrued",
                                                    "CDC Error: SendReadFile timeout"};
    QTest::newRow("EndFileRead result 0") << "EndFileRead" << wire("02001400c0") << false << ""
                                          << none;
    QTest::newRow("EndFileRead result 3") << "EndFileRead" << wire("02001403c0") << true << ""
                                          << none;
    QTest::newRow("Command7E answered") << "Command7E" << wire("01007ec0") << false << "" << none;
    QTest::newRow("Command7E silent") << "Command7E" << kSilent << true << "" << timeout;
}

void UsbCdcProtocolTest::commands()
{
    QFETCH(QString, op);
    QFETCH(QByteArray, reply);
    QFETCH(bool, failed);
    QFETCH(QString, output);
    QFETCH(QStringList, debug);

    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(150);
    if (!reply.isEmpty())
        peer.queueReply(reply);

    DebugCapture capture;
    bool result = !failed;
    const QString got = runCommand(link, op, result);
    const QStringList lines = capture.lines();

    QVERIFY(peer.waitForRequests(1, 1000));
    QCOMPARE(peer.requests().size(), 1);
    QCOMPARE(peer.requests().first().toHex(), requestOf(op));
    QCOMPARE(result, failed);
    QCOMPARE(got, output);
    QCOMPARE(lines, debug);
}

void UsbCdcProtocolTest::nameFields_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field32");

    QTest::newRow("short") << "a.bin" << QByteArray("612e62696e") + QByteArray(54, '0');
    QTest::newRow("31 characters") << QString(31, 'x') << QByteArray(31, 'x').toHex() + "00";
    QTest::newRow("32 characters: no NUL") << QString(32, 'y') << QByteArray(32, 'y').toHex();
    QTest::newRow("40 characters: cut") << QString(32, 'z') + "12345678"
                                        << QByteArray(32, 'z').toHex();
    QTest::newRow("UTF-8") << QString::fromUtf8("Updates/\xC3\xBC.bin")
                           << QByteArray("557064617465732fc3bc2e62696e") + QByteArray(36, '0');
}

void UsbCdcProtocolTest::nameFields()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field32);

    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    peer.queueReply(wire("02000200c0"));
    peer.queueReply(wire("02000500c0"));
    peer.queueReply(wire("05001200000000c0"));
    QVERIFY(!link.SendStartESP(name, 0x1234));
    QVERIFY(!link.SendDeleteESP(name));
    quint32 size = 1;
    QVERIFY(!link.SendStartFileRead(0x0102, name, size));

    QVERIFY(peer.waitForRequests(3, 1000));
    const QList<QByteArray> requests = peer.requests();
    QCOMPARE(requests.at(0).toHex(), "250002" "34120000" + field32 + "c0");
    QCOMPARE(requests.at(1).toHex(), "210005" + field32 + "c0");
    QCOMPARE(requests.at(2).toHex(), "1b0012" "0201" + field32.left(48) + "c0");
}

void UsbCdcProtocolTest::requestWith191BytePayload()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    peer.queueReply(wire("01000fc0"));
    const QByteArray value(189, '\x55');
    QVERIFY(!link.SendSetParameter(0x0101, reinterpret_cast<const uint8_t*>(value.constData()),
                                   quint16(value.size())));
    QVERIFY(peer.waitForRequests(1, 1000));
    QCOMPARE(peer.requests().first().toHex(),
             (wire("dbdc000f0101") + value + '\xC0').toHex());
}

void UsbCdcProtocolTest::otherCodeSkippedBeforeTheRightOne()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    peer.queueReply({{wire("02000a00c0"), 0}, {wire("09000b2a00000000000000c0"), 60}});
    quint64 id = 0;
    QVERIFY(!link.SendGetDeviceID(id));
    QCOMPARE(id, quint64(42));
}

void UsbCdcProtocolTest::lateAnswerToEarlierRequestIsDropped()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(100);
    peer.queueReply({{wire("080001465720332e3200c0"), 200}});
    peer.queueReply({{wire("09000b2a00000000000000c0"), 60}});
    QString text = "old";
    QVERIFY(link.SendGetVersion(text));
    QCOMPARE(text, QString("old"));
    link.setTimeoutLimitMs(0);
    quint64 id = 0;
    QVERIFY(!link.SendGetDeviceID(id));
    QCOMPARE(id, quint64(42));
}

void UsbCdcProtocolTest::twoFramesInOneReadYieldTheFirst()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(150);
    // Both answers in one write arrive in one read; the second is lost with the rest of it.
    peer.queueReply(wire("09000b2a00000000000000c0" "0d000a001a2b3c4d5e001a2b3c4d5fc0"));
    quint64 id = 0;
    QVERIFY(!link.SendGetDeviceID(id));
    QCOMPARE(id, quint64(42));
    uint8_t wifi[6], ethernet[6];
    QVERIFY(link.SendGetMACs(wifi, ethernet));
}

void UsbCdcProtocolTest::splitResponseIsNotReassembled()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(400);
    peer.queueReply({{wire("09000b2a00"), 0}, {wire("000000000000c0"), 100}});
    quint64 id = 5;
    QVERIFY(link.SendGetDeviceID(id));
    QCOMPARE(id, quint64(5));
}

void UsbCdcProtocolTest::oversizeFrameIsRejected()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(200);
    // 513 decoded bytes do not fit the 512-byte area; the right answer after it still counts.
    peer.queueReply({{wire("fe010e") + QByteArray(510, '\x44') + '\xC0', 0},
                     {wire("05000ea1b2c3d4c0"), 60}});
    uint8_t value[600];
    quint16 length = sizeof value;
    QVERIFY(!link.SendGetParameter(17, value, length));
    QCOMPARE(length, quint16(4));

    // SendReadFile's area holds 1024 bytes: 1021 data bytes fit, 1022 do not.
    link.setTimeoutLimitMs(150);
    std::vector<uint8_t> data(1100);
    peer.queueReply(wire("fe0313") + QByteArray(1021, '\x66') + '\xC0');
    QVERIFY(!link.SendReadFile(0, data.data(), 1021));
    peer.queueReply(wire("ff0313") + QByteArray(1022, '\x66') + '\xC0');
    QVERIFY(link.SendReadFile(0, data.data(), 1022));
}

void UsbCdcProtocolTest::byteAtATimeMatchesBulk_data()
{
    QTest::addColumn<bool>("byteAtATime");
    QTest::newRow("bulk") << false;
    QTest::newRow("byte at a time") << true;
}

void UsbCdcProtocolTest::byteAtATimeMatchesBulk()
{
    QFETCH(bool, byteAtATime);
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    peer.setByteAtATime(byteAtATime);
    peer.queueReply(wire("0d000a001a2bdbdc4ddbdd001a2b3c4d5fc0"));
    peer.queueReply(wire("080001465720332e3200c0"));
    uint8_t wifi[6], ethernet[6];
    QVERIFY(!link.SendGetMACs(wifi, ethernet));
    QCOMPARE(hexOf(wifi, 6), QByteArray("001a2bc04ddb"));
    QCOMPARE(hexOf(ethernet, 6), QByteArray("001a2b3c4d5f"));
    QString text;
    QVERIFY(!link.SendGetVersion(text));
    QCOMPARE(text, QString("FW 3.2"));
}

void UsbCdcProtocolTest::silentDeviceTimesOutNearItsTimeout()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    DebugCapture capture;
    QElapsedTimer elapsed;
    elapsed.start();
    QString text = "old";
    QVERIFY(link.SendGetVersion(text));
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 300 && ms < 800, qPrintable(QString::number(ms)));
    QCOMPARE(capture.lines(), QStringList{"Timeout occurrued"});
    QCOMPARE(text, QString("old"));
}

void UsbCdcProtocolTest::closedPortWaitsOutTheTimeout()
{
    cUSB_CDC_Protocol link;
    QVERIFY(!link.portOpen());
    DebugCapture capture;
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 cpuBefore = threadCpuMs();
    QVERIFY(link.SendReboot());
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 1000 && ms < 1500, qPrintable(QString::number(ms)));
    QVERIFY2(threadCpuMs() - cpuBefore < 100, "a closed port must not be polled busily");
    QCOMPARE(capture.lines(), QStringList{"Timeout occurrued"});
    QVERIFY(link.writeFrame(0x08, nullptr, 0));
    uint32_t length = 0;
    uint8_t area[512];
    QVERIFY(link.readFrame(0x08, area, sizeof area, length));
}

void UsbCdcProtocolTest::hungUpLineTimesOutWithoutSpinning()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    peer.hangUp();
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 cpuBefore = threadCpuMs();
    QString text;
    QVERIFY(link.SendGetVersion(text));
    const qint64 ms = elapsed.elapsed();
    const qint64 cpu = threadCpuMs() - cpuBefore;
    QVERIFY2(ms >= 300 && ms < 800, qPrintable(QString::number(ms)));
    QVERIFY2(cpu < 75, qPrintable(QString("cpu %1 ms").arg(cpu)));
    link.close();
    QVERIFY(!link.portOpen());
}

void UsbCdcProtocolTest::openTwiceFails()
{
    PtyPeer peer;
    PtyPeer other;
    cUSB_CDC_Protocol link;
    cUSB_CDC_Protocol second;
    openLink(peer, link);
    QVERIFY(other.isReady());
    QVERIFY(link.open(other.slavePath()));  // open while open: fails, the open port stays
    QVERIFY(second.open(peer.slavePath()));  // in use by another instance
    QVERIFY(!second.portOpen());
    peer.queueReply(wire("010008c0"));
    QVERIFY(!link.SendReboot());
    link.closeIfOpen();
    QVERIFY(!link.portOpen());
    QVERIFY(!second.open(peer.slavePath()));
    second.close();
}

void UsbCdcProtocolTest::oversizeRequestsAreRefused()
{
    PtyPeer peer;
    cUSB_CDC_Protocol link;
    openLink(peer, link);
    link.setTimeoutLimitMs(100);
    peer.queueReply(wire("02000300c0"));
    std::vector<uint8_t> data(1014, 0xC0);
    QVERIFY(!link.SendWriteESP(0, data.data(), 1013));  // 1013 fills the 1024-byte area
    QVERIFY(link.SendWriteESP(0, data.data(), 1014));
    QVERIFY(link.SendSetParameter(17, data.data(), 508));  // 510 payload bytes: over 509
    peer.queueReply(wire("01000fc0"));
    QVERIFY(!link.SendSetParameter(17, data.data(), 507));
    QVERIFY(peer.waitForRequests(2, 1000));
    const QList<QByteArray> requests = peer.requests();
    QCOMPARE(requests.size(), 2);  // nothing of the refused requests reached the line
    QCOMPARE(requests.at(0).size(), 3 + 8 + 2 * 1013 + 1);
    QCOMPARE(requests.at(0).left(11).toHex(), QByteArray("fe030300000000f5030000"));
    QCOMPARE(requests.at(1).left(6).toHex(), QByteArray("fe010f1100db"));
}

QTEST_GUILESS_MAIN(UsbCdcProtocolTest)
#include "tst_usb_cdc_protocol.moc"
