#include "prod_fixture.h"
#include "usb_cdc_protocol.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace prodtest;

Q_DECLARE_METATYPE(PtyPeer::Piece)

namespace {

QByteArray hexOf(const uint8_t* p, int n)
{
    return QByteArray(reinterpret_cast<const char*>(p), n).toHex();
}

// Runs one command with fixed arguments; returns its outputs as text.
QString runCommand(cUSB_CDC_Protocol& link, const QString& op, bool& failed)
{
    uint8_t area[200];
    memset(area, 0xEE, sizeof area);
    quint64 id = 5;
    quint32 value = 7;
    if (op == "GetVersion" || op == "QueryVersion") {
        QString text = "old";
        failed = op == "GetVersion" ? link.SendGetVersion(text) : link.SendQueryVersion(text);
        return text + (link.versionReported() ? "|reported" : "|none");
    }
    if (op == "WriteESP") {
        const uint8_t data[3] = {0xC0, 0xDB, 0x01};
        failed = link.SendWriteESP(0x200, data, 3);
    } else if (op == "SetDeviceID") {
        id = 0x0102030405060708ULL;
        failed = link.SendSetDeviceID(id);
        return QString::number(id, 16);
    } else if (op == "GetMACs") {
        failed = link.SendGetMACs(area, area + 6);
        return hexOf(area, 6) + " " + hexOf(area + 6, 6);
    } else if (op == "GetDeviceID") {
        failed = link.SendGetDeviceID(id);
        return QString::number(id);
    } else if (op == "GetStatusWord") {
        failed = link.SendGetStatusWord(value);
        return QString::number(value);
    } else if (op == "GetParameter") {
        quint16 length = 64;
        failed = link.SendGetParameter(17, area, length);
        return hexOf(area, int(length)) + "|" + QString::number(length) + "|" + hexOf(area + 64, 4);
    } else if (op == "SetParameter") {
        area[0] = 0;  // create the key
        failed = link.SendSetParameter(17, area, 1);
    } else if (op == "GetInfoBlock") {
        failed = link.SendGetInfoBlock(area);
        return hexOf(area, 200);
    } else if (op == "GetRecord") {
        failed = link.SendGetRecord(1, 0x0203, area);
        return hexOf(area, 24);
    } else if (op == "StartFileRead") {
        value = 99;
        failed = link.SendStartFileRead(5, "log.txt", value);
        return QString::number(value);
    } else if (op == "ReadFile") {
        failed = link.SendReadFile(0x200, area, 4);
        return hexOf(area, 8);
    } else {
        failed = op == "StartESP"      ? link.SendStartESP("fw.bin", 0x01020304)
                 : op == "EndESP"      ? link.SendEndESP()
                 : op == "DeleteESP"   ? link.SendDeleteESP("testres.bin")
                 : op == "Reboot"      ? link.SendReboot()
                 : op == "EndFileRead" ? link.SendEndFileRead()
                 : op == "Command7E"   ? link.SendCommand7E()
                                       : link.SendLeaveBootloader();
    }
    return {};
}

// What each command puts on the line with the arguments of runCommand, and the time-out it
// gives its exchange.
struct Request
{
    QByteArray hex;
    uint32_t timeoutMs;
};

Request requestOf(const QString& op)
{
    static const QHash<QString, Request> requests = {
        {"GetVersion", {"010001c0", 300}},
        {"StartESP", {"250002" "04030201" "66772e62696e" + QByteArray(52, '0') + "c0", 50000}},
        {"WriteESP", {"0c0003" "00020000" "03000000" "dbdcdbdd01" "c0", 10000}},
        {"EndESP", {"010004c0", 1000}},
        {"DeleteESP", {"210005" "746573747265732e62696e" + QByteArray(42, '0') + "c0", 60000}},
        {"SetDeviceID", {"090006" "0807060504030201" "c0", 1000}},
        {"Reboot", {"010008c0", 1000}},
        {"LeaveBootloader", {"010009c0", 1000}},
        {"GetMACs", {"01000ac0", 1000}},
        {"GetDeviceID", {"01000bc0", 1000}},
        {"QueryVersion", {"01000cc0", 1000}},
        {"GetStatusWord", {"01000dc0", 1000}},
        {"GetParameter", {"03000e1100c0", 1000}},
        {"SetParameter", {"04000f110000c0", 1000}},
        {"GetInfoBlock", {"010010c0", 1000}},
        {"GetRecord", {"050011" "0100" "0302" "c0", 1000}},
        {"StartFileRead", {"1b0012" "0500" "6c6f672e747874" + QByteArray(34, '0') + "c0", 30000}},
        {"ReadFile", {"090013" "00020000" "04000000" "c0", 5000}},
        {"EndFileRead", {"010014c0", 1000}},
        {"Command7E", {"01007ec0", 1000}},
    };
    return requests.value(op);
}

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
    void init();
    void cleanup();
    void commands_data();
    void commands();
    void nameFields_data();
    void nameFields();
    void otherCodeSkippedBeforeTheRightOne();
    void lateAnswerToEarlierRequestIsDropped();
    void deliveries_data();
    void deliveries();
    void leftoverOfAnEarlierExchangeIsDropped();
    void bigAreaHoldsItsLargestFrame();
    void silentDeviceTimesOutNearItsTimeout();
    void stopReachesAWaitingExchange();
    void closedPortWaitsOutTheTimeout();
    void hungUpLineTimesOutWithoutSpinning();
    void openTwiceFails();
    void oversizeRequestsAreRefused();

private:
    std::unique_ptr<PtyPeer> m_peer;
    std::unique_ptr<cUSB_CDC_Protocol> m_link;
};

void UsbCdcProtocolTest::init()
{
    m_peer = std::make_unique<PtyPeer>();
    m_link = std::make_unique<cUSB_CDC_Protocol>();
    QVERIFY(m_peer->isReady());
    QVERIFY(!m_link->open(m_peer->slavePath()));
    QVERIFY(m_link->portOpen());
}

void UsbCdcProtocolTest::cleanup()
{
    m_link.reset();
    m_peer.reset();
}

void UsbCdcProtocolTest::commands_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QStringList>("debug");

    const QByteArray silent;
    const QStringList none;
    const QStringList timeout{"Timeout occurrued"};
    const auto timedOut = [](const char* command) {
        return QStringList{"Timeout occurrued", QString("CDC Error: %1 timeout").arg(command)};
    };
    const QString noMacs = "000000000000 000000000000";
    const QString untouchedTail = "eeeeeeee";
    const QString untouchedBlock = QByteArray(200, '\xEE').toHex();
    const QString untouched8 = "eeeeeeeeeeeeeeee";

    QTest::newRow("GetVersion text") << "GetVersion" << wire("080001465720332e3200c0") << false
                                     << "FW 3.2|reported" << none;
    QTest::newRow("GetVersion text to frame end") << "GetVersion" << wire("070001465720332e32c0")
                                                  << false << "FW 3.2|reported" << none;
    QTest::newRow("GetVersion UTF-8") << "GetVersion" << wire("05000156c3a900c0") << false
                                      << QString::fromUtf8("V\xC3\xA9|reported") << none;
    QTest::newRow("GetVersion empty text") << "GetVersion" << wire("02000100c0") << false << "old|none" << none;
    QTest::newRow("GetVersion no payload") << "GetVersion" << wire("010001c0") << false << "old|none" << none;
    QTest::newRow("GetVersion silent") << "GetVersion" << silent << true << "old|none" << timeout;
    QTest::newRow("QueryVersion text") << "QueryVersion" << wire("10000c426f6f746c6f6164657220312e3000c0")
                                       << false << "Bootloader 1.0|reported" << none;

    QTest::newRow("StartESP accepted") << "StartESP" << wire("02000200c0") << false << "" << none;
    QTest::newRow("StartESP refused") << "StartESP" << wire("02000205c0") << true << ""
                                      << QStringList{"CDC Error: SendStartESP result NOK, 5"};
    QTest::newRow("StartESP no result") << "StartESP" << wire("010002c0") << true << ""
                                        << QStringList{"CDC Error: SendStartESP result missing"};
    QTest::newRow("StartESP silent") << "StartESP" << silent << true << "" << timedOut("SendStartESP");
    QTest::newRow("WriteESP accepted") << "WriteESP" << wire("02000300c0") << false << "" << none;
    QTest::newRow("WriteESP refused") << "WriteESP" << wire("020003dbdcc0") << true << ""
                                      << QStringList{"CDC Error: SendWriteESP result NOK, 192"};
    QTest::newRow("WriteESP silent") << "WriteESP" << silent << true << "" << timedOut("SendWriteESP");
    QTest::newRow("EndESP result 0") << "EndESP" << wire("02000400c0") << false << "" << none;
    QTest::newRow("EndESP result 1") << "EndESP" << wire("02000401c0") << true << "" << none;
    QTest::newRow("EndESP silent") << "EndESP" << silent << true << "" << timeout;
    QTest::newRow("DeleteESP deleted") << "DeleteESP" << wire("02000500c0") << false << "" << none;
    QTest::newRow("DeleteESP absent") << "DeleteESP" << wire("02000502c0") << true << ""
                                      << QStringList{"CDC Error: SendDeleteESP result NOK, 2"};
    QTest::newRow("DeleteESP silent") << "DeleteESP" << silent << true << "" << timedOut("SendDeleteESP");

    QTest::newRow("SetDeviceID answer replaces") << "SetDeviceID" << wire("0900062a00000000000000c0")
                                                 << false << "2a" << none;
    QTest::newRow("SetDeviceID short answer") << "SetDeviceID" << wire("05000601020304c0") << true
                                              << "102030405060708" << none;
    QTest::newRow("SetDeviceID silent") << "SetDeviceID" << silent << true << "102030405060708" << timeout;
    QTest::newRow("Reboot answered") << "Reboot" << wire("010008c0") << false << "" << none;
    QTest::newRow("Reboot answer with payload") << "Reboot" << wire("02000801c0") << false << "" << none;
    QTest::newRow("Reboot silent") << "Reboot" << silent << true << "" << timeout;
    QTest::newRow("LeaveBootloader answered") << "LeaveBootloader" << wire("010009c0") << false << "" << none;
    QTest::newRow("LeaveBootloader silent") << "LeaveBootloader" << silent << true << "" << timeout;

    QTest::newRow("GetMACs") << "GetMACs" << wire("0d000a001a2b3c4d5e001a2b3c4d5fc0") << false
                             << "001a2b3c4d5e 001a2b3c4d5f" << none;
    QTest::newRow("GetMACs no MACs") << "GetMACs" << wire("02000a00c0") << false << noMacs << none;
    QTest::newRow("GetMACs short") << "GetMACs" << wire("04000a010203c0") << true << noMacs << none;
    QTest::newRow("GetMACs silent") << "GetMACs" << silent << true << noMacs << timeout;
    QTest::newRow("GetDeviceID max") << "GetDeviceID" << wire("09000bffffffffffffffffc0") << false
                                     << "18446744073709551615" << none;
    QTest::newRow("GetDeviceID longer frame") << "GetDeviceID" << wire("0a000b2a0000000000000099c0")
                                              << false << "42" << none;
    QTest::newRow("GetDeviceID short") << "GetDeviceID" << wire("05000b01020304c0") << true << "5" << none;
    QTest::newRow("GetStatusWord") << "GetStatusWord" << wire("05000d01000080c0") << false
                                   << "2147483649" << none;
    QTest::newRow("GetStatusWord zero") << "GetStatusWord" << wire("05000d00000000c0") << true << "7" << none;

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
    QTest::newRow("SetParameter answered") << "SetParameter" << wire("01000fc0") << false << "" << none;
    QTest::newRow("SetParameter silent") << "SetParameter" << silent << true << "" << timeout;

    QTest::newRow("GetInfoBlock 203") << "GetInfoBlock" << wire("c90010") + QByteArray(200, '\x11') + '\xC0'
                                      << false << QString(QByteArray(200, '\x11').toHex()) << none;
    QTest::newRow("GetInfoBlock 202") << "GetInfoBlock" << wire("c80010") + QByteArray(199, '\x11') + '\xC0'
                                      << true << untouchedBlock << none;
    QTest::newRow("GetInfoBlock 204") << "GetInfoBlock" << wire("ca0010") + QByteArray(201, '\x11') + '\xC0'
                                      << true << untouchedBlock << none;
    QTest::newRow("GetRecord 35")
        << "GetRecord" << wire("210011") + QByteArray(24, '\x22') + QByteArray(8, '\x33') + '\xC0'
        << false << QString(QByteArray(24, '\x22').toHex()) << none;
    QTest::newRow("GetRecord 34") << "GetRecord" << wire("200011") + QByteArray(31, '\x22') + '\xC0'
                                  << true << QString(QByteArray(24, '\xEE').toHex()) << none;

    QTest::newRow("StartFileRead size") << "StartFileRead" << wire("050012e8030000c0") << false << "1000" << none;
    QTest::newRow("StartFileRead empty file") << "StartFileRead" << wire("05001200000000c0") << false
                                              << "0" << none;
    QTest::newRow("StartFileRead no such file")
        << "StartFileRead" << wire("050012ffffffffc0") << true << "0"
        << QStringList{"CDC Error: SendStartFileRead: file doesn't exist"};
    QTest::newRow("StartFileRead silent") << "StartFileRead" << silent << true << "0"
                                          << timedOut("SendStartFileRead");
    QTest::newRow("ReadFile n bytes") << "ReadFile" << wire("05001301020304c0") << false
                                      << "01020304eeeeeeee" << none;
    QTest::newRow("ReadFile one byte short") << "ReadFile" << wire("040013070809c0") << true << untouched8
                                             << QStringList{"CDC Error: SendReadFile result NOK, 7"};
    QTest::newRow("ReadFile one byte long") << "ReadFile" << wire("0600130102030405c0") << true << untouched8
                                            << QStringList{"CDC Error: SendReadFile result NOK, 1"};
    QTest::newRow("ReadFile silent") << "ReadFile" << silent << true << untouched8 << timedOut("SendReadFile");
    QTest::newRow("EndFileRead result 0") << "EndFileRead" << wire("02001400c0") << false << "" << none;
    QTest::newRow("EndFileRead result 3") << "EndFileRead" << wire("02001403c0") << true << "" << none;
    QTest::newRow("Command7E answered") << "Command7E" << wire("01007ec0") << false << "" << none;
    QTest::newRow("Command7E silent") << "Command7E" << silent << true << "" << timeout;
}

void UsbCdcProtocolTest::commands()
{
    QFETCH(QString, op);
    QFETCH(QByteArray, reply);
    QFETCH(bool, failed);
    QFETCH(QString, output);
    QFETCH(QStringList, debug);

    m_link->setTimeoutLimitMs(150);
    if (!reply.isEmpty())
        m_peer->queueReply(reply);
    DebugCapture capture;
    bool result = !failed;
    QCOMPARE(runCommand(*m_link, op, result), output);
    QCOMPARE(capture.lines(), debug);
    QCOMPARE(result, failed);
    QVERIFY(m_peer->waitForRequests(1, 1000));
    QCOMPARE(m_peer->requests().size(), 1);
    QCOMPARE(m_peer->requests().first().toHex(), requestOf(op).hex);
    QCOMPARE(m_link->lastTimeoutMs(), requestOf(op).timeoutMs);
}

void UsbCdcProtocolTest::nameFields_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("field32");

    QTest::newRow("short") << "a.bin" << QByteArray("612e62696e") + QByteArray(54, '0');
    QTest::newRow("31 characters") << QString(31, 'x') << QByteArray(31, 'x').toHex() + "00";
    QTest::newRow("32 characters: no NUL") << QString(32, 'y') << QByteArray(32, 'y').toHex();
    QTest::newRow("40 characters: cut") << QString(32, 'z') + "12345678" << QByteArray(32, 'z').toHex();
    QTest::newRow("UTF-8") << QString::fromUtf8("Updates/\xC3\xBC.bin")
                           << QByteArray("557064617465732fc3bc2e62696e") + QByteArray(36, '0');
}

void UsbCdcProtocolTest::nameFields()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, field32);

    m_peer->queueReply(wire("02000200c0"));
    m_peer->queueReply(wire("02000500c0"));
    m_peer->queueReply(wire("05001200000000c0"));
    QVERIFY(!m_link->SendStartESP(name, 0x1234));
    QVERIFY(!m_link->SendDeleteESP(name));
    quint32 size = 1;
    QVERIFY(!m_link->SendStartFileRead(0x0102, name, size));

    QVERIFY(m_peer->waitForRequests(3, 1000));
    const QList<QByteArray> requests = m_peer->requests();
    QCOMPARE(requests.at(0).toHex(), "250002" "34120000" + field32 + "c0");
    QCOMPARE(requests.at(1).toHex(), "210005" + field32 + "c0");
    QCOMPARE(requests.at(2).toHex(), "1b0012" "0201" + field32.left(48) + "c0");
}

void UsbCdcProtocolTest::otherCodeSkippedBeforeTheRightOne()
{
    m_peer->queueReply({{wire("02000a00c0"), 0}, {wire("09000b2a00000000000000c0"), 60}});
    quint64 id = 0;
    QVERIFY(!m_link->SendGetDeviceID(id));
    QCOMPARE(id, quint64(42));
}

void UsbCdcProtocolTest::lateAnswerToEarlierRequestIsDropped()
{
    // The first answer comes after its exchange gave up and before the next request of the same
    // command: it must not be taken for the second answer.
    m_link->setTimeoutLimitMs(100);
    m_peer->queueReply({{wire("0800014f4c442e3000c0"), 200}});
    m_peer->queueReply({{wire("0800014e45572e3000c0"), 20}});
    QString text = "none";
    QVERIFY(m_link->SendGetVersion(text));
    QVERIFY(m_peer->waitForReplies(1, 1000));
    m_link->setTimeoutLimitMs(0);
    QVERIFY(!m_link->SendGetVersion(text));
    QCOMPARE(text, QString("NEW.0"));
}

// The key read's answer as the line may deliver it: in pieces, late, after other frames, after
// bytes that cannot be a frame. Whatever the pieces, the answer is reassembled; what cannot be a
// frame is dropped up to its END byte and never decoded from the middle.
void UsbCdcProtocolTest::deliveries_data()
{
    QTest::addColumn<QList<PtyPeer::Piece>>("pieces");
    QTest::addColumn<bool>("failed");

    const QByteArray answer = wire("09000e") + "\x01\x02\xDB\xDC\x04\x05\x06\x07\xDB\xDD" + '\xC0';
    const auto whole = [&](const QByteArray& before) {
        return QList<PtyPeer::Piece>{{before + answer, 0}};
    };
    QList<PtyPeer::Piece> window{{answer.left(5), 0}, {answer.mid(5), 25}};
    QList<PtyPeer::Piece> usb;
    const QByteArray big = wire("0000") + QByteArray(600, '\x0E') + '\xC0' + answer;
    for (int at = 0; at < big.size(); at += 64)
        usb.append({big.mid(at, 64), at ? 1 : 0});
    QList<PtyPeer::Piece> bytes;
    for (char c : answer)
        bytes.append({QByteArray(1, c), 0});

    QTest::newRow("whole") << whole({}) << false;
    QTest::newRow("cut across a read window") << window << false;
    QTest::newRow("byte at a time") << bytes << false;
    QTest::newRow("another code first, one read") << whole(wire("02000a00c0")) << false;
    QTest::newRow("END first") << whole(wire("c0")) << false;
    QTest::newRow("garbage up to an END") << whole(wire("55aa00ff1337c0")) << false;
    QTest::newRow("bad escape") << whole(wire("03000edb0101c0")) << false;
    QTest::newRow("over the area, in 64-byte pieces") << usb << false;
    QTest::newRow("over the read limit, no answer")
        << QList<PtyPeer::Piece>{{wire("2008") + QByteArray(2083, '\x0E') + '\xC0', 0}} << true;
    QTest::newRow("garbage glued to the answer") << whole(wire("55aa")) << true;
}

void UsbCdcProtocolTest::deliveries()
{
    QFETCH(QList<PtyPeer::Piece>, pieces);
    QFETCH(bool, failed);

    m_link->setTimeoutLimitMs(200);
    m_peer->queueReply(pieces);
    uint8_t value[64];
    quint16 length = sizeof value;
    QCOMPARE(m_link->SendGetParameter(17, value, length), failed);
    if (!failed)
        QCOMPARE(hexOf(value, length), QByteArray("0102c004050607db"));
}

void UsbCdcProtocolTest::leftoverOfAnEarlierExchangeIsDropped()
{
    // The MAC answer after the ID answer, and a version answer too late for its request: neither
    // is taken for the answer of the next request.
    m_link->setTimeoutLimitMs(150);
    m_peer->queueReply(wire("09000b2a00000000000000c0" "0d000a001a2b3c4d5e001a2b3c4d5fc0"));
    quint64 id = 0;
    QVERIFY(!m_link->SendGetDeviceID(id));
    QCOMPARE(id, quint64(42));
    uint8_t macs[12];
    QVERIFY(m_link->SendGetMACs(macs, macs + 6));
}

void UsbCdcProtocolTest::bigAreaHoldsItsLargestFrame()
{
    // SendReadFile's area holds 1024 bytes: 1021 data bytes fit, 1022 do not.
    m_link->setTimeoutLimitMs(150);
    std::vector<uint8_t> data(1100);
    m_peer->queueReply(wire("fe0313") + QByteArray(1021, '\x66') + '\xC0');
    QVERIFY(!m_link->SendReadFile(0, data.data(), 1021));
    m_peer->queueReply(wire("ff0313") + QByteArray(1022, '\x66') + '\xC0');
    QVERIFY(m_link->SendReadFile(0, data.data(), 1022));
}

void UsbCdcProtocolTest::silentDeviceTimesOutNearItsTimeout()
{
    DebugCapture capture;
    QElapsedTimer elapsed;
    elapsed.start();
    QString text = "old";
    QVERIFY(m_link->SendGetVersion(text));
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 300 && ms < 800, qPrintable(QString::number(ms)));
    QCOMPARE(capture.lines(), QStringList{"Timeout occurrued"});
    QCOMPARE(text, QString("old"));
}

void UsbCdcProtocolTest::stopReachesAWaitingExchange()
{
    std::atomic<bool> running{true};
    m_link->setRunningFlag(&running);
    std::thread stopper([&] {
        m_peer->waitForRequests(1, 5000);
        running = false;
    });
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(m_link->SendDeleteESP("testres.bin"));  // a silent device: 60 s
    stopper.join();
    QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
    // Once stopped, nothing more goes to the device.
    QVERIFY(m_link->SendReboot());
    QCOMPARE(m_peer->requests().size(), 1);
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
    m_peer->hangUp();
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 cpuBefore = threadCpuMs();
    QString text;
    QVERIFY(m_link->SendGetVersion(text));
    const qint64 ms = elapsed.elapsed();
    const qint64 cpu = threadCpuMs() - cpuBefore;
    QVERIFY2(ms >= 300 && ms < 800, qPrintable(QString::number(ms)));
    QVERIFY2(cpu < 75, qPrintable(QString("cpu %1 ms").arg(cpu)));
    m_link->close();
    QVERIFY(!m_link->portOpen());
}

void UsbCdcProtocolTest::openTwiceFails()
{
    PtyPeer other;
    cUSB_CDC_Protocol second;
    QVERIFY(other.isReady());
    QVERIFY(m_link->open(other.slavePath()));     // open while open: fails, the open port stays
    QVERIFY(second.open(m_peer->slavePath()));    // in use by another instance
    QVERIFY(!second.portOpen());
    m_peer->queueReply(wire("010008c0"));
    QVERIFY(!m_link->SendReboot());
    m_link->closeIfOpen();
    QVERIFY(!m_link->portOpen());
    QVERIFY(!second.open(m_peer->slavePath()));
}

void UsbCdcProtocolTest::oversizeRequestsAreRefused()
{
    m_link->setTimeoutLimitMs(100);
    m_peer->queueReply(wire("02000300c0"));
    std::vector<uint8_t> data(1014, 0xC0);
    QVERIFY(!m_link->SendWriteESP(0, data.data(), 1013));  // 1013 fills the 1024-byte area
    QVERIFY(m_link->SendWriteESP(0, data.data(), 1014));
    QVERIFY(m_link->SendSetParameter(17, data.data(), 508));  // 510 payload bytes: over 509
    m_peer->queueReply(wire("01000fc0"));
    QVERIFY(!m_link->SendSetParameter(17, data.data(), 507));
    QVERIFY(m_peer->waitForRequests(2, 1000));
    const QList<QByteArray> requests = m_peer->requests();
    QCOMPARE(requests.size(), 2);  // nothing of the refused requests reached the line
    QCOMPARE(requests.at(0).size(), 3 + 8 + 2 * 1013 + 1);
    QCOMPARE(requests.at(0).left(11).toHex(), QByteArray("fe030300000000f5030000"));
    QCOMPARE(requests.at(1).left(6).toHex(), QByteArray("fe010f1100db"));
}

QTEST_GUILESS_MAIN(UsbCdcProtocolTest)
#include "tst_usb_cdc_protocol.moc"
