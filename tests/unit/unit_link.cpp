// The device link above the serial line: the byte stuffing, and the command table against
// answers written out by hand, delivered by the in-memory line as a real line may deliver them.
#include "cdc_framing.h"
#include "memory_line.h"
#include "test_support.h"
#include "unit.h"
#include "usb_cdc_protocol.h"

#include <QtTest>

using namespace prodtest;

namespace {

QByteArray wire(const char* hex)
{
    return QByteArray::fromHex(hex);
}

// A frame of n equal bytes after its header, as the line carries it.
QByteArray wire(const char* headerHex, int n, char fill)
{
    return wire(headerHex) + QByteArray(n, fill) + '\xC0';
}

QString hexOf(int n, char fill)
{
    return QByteArray(n, fill).toHex();
}

QByteArray hexOf(const uint8_t* p, int n)
{
    return QByteArray(reinterpret_cast<const char*>(p), n).toHex();
}

QByteArray hexOf(const std::vector<uint8_t>& bytes)
{
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size())).toHex();
}

const uint8_t* bytesOf(const char* text)
{
    return reinterpret_cast<const uint8_t*>(text);
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
        failed = link.SendWriteESP(0x200, bytesOf("\xC0\xDB\x01"), 3);
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
        area[0] = 0; // create the key
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
        {"StartESP", {"250002 04030201 66772e62696e" + QByteArray(52, '0') + "c0", 50000}},
        {"WriteESP", {"0c0003 00020000 03000000 dbdcdbdd01 c0", 10000}},
        {"EndESP", {"010004c0", 1000}},
        {"DeleteESP", {"210005 746573747265732e62696e" + QByteArray(42, '0') + "c0", 60000}},
        {"SetDeviceID", {"090006 0807060504030201 c0", 1000}},
        {"Reboot", {"010008c0", 1000}},
        {"LeaveBootloader", {"010009c0", 1000}},
        {"GetMACs", {"01000ac0", 1000}},
        {"GetDeviceID", {"01000bc0", 1000}},
        {"QueryVersion", {"01000cc0", 1000}},
        {"GetStatusWord", {"01000dc0", 1000}},
        {"GetParameter", {"03000e 1100 c0", 1000}},
        {"SetParameter", {"04000f 1100 00 c0", 1000}},
        {"GetInfoBlock", {"010010c0", 1000}},
        {"GetRecord", {"050011 0100 0302 c0", 1000}},
        {"StartFileRead", {"1b0012 0500 6c6f672e747874" + QByteArray(34, '0') + "c0", 30000}},
        {"ReadFile", {"090013 00020000 04000000 c0", 5000}},
        {"EndFileRead", {"010014c0", 1000}},
        {"Command7E", {"01007ec0", 1000}},
    };
    return requests.value(op);
}

// A row of the command table; the operation is the first word of its name.
void commandRow(const char* name, const QByteArray& reply, bool failed, const QString& output,
                const QStringList& debug = {})
{
    QTest::newRow(name) << QString(name).section(' ', 0, 0) << reply << failed << output << debug;
}

// One read of the line, in the order the link reads.
void script(const QByteArray& bytes)
{
    memline::state().reads.push_back(
        memline::Read{false, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

} // namespace

class LinkTables : public QObject
{
    Q_OBJECT

    std::unique_ptr<cUSB_CDC_Protocol> m_link;

private slots:
    void init()
    {
        memline::reset();
        // A device that answers only what is scripted; the silent ones are waited for briefly.
        memline::state().answersAfterScript = false;
        m_link = std::make_unique<cUSB_CDC_Protocol>();
        m_link->setTimeoutLimitMs(50);
        QVERIFY(!m_link->open("memory"));
    }

    void cleanup() { m_link.reset(); }

    // Encodings the command table's requests do not show: escaped length and code bytes, and
    // bytes next to the escape values.
    void encode_data()
    {
        QTest::addColumn<int>("command");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("line");

        QTest::newRow("191 bytes: length C0 escaped")
            << 0x0F << QByteArray(191, '\x55') << wire("dbdc000f", 191, '\x55');
        QTest::newRow("length DB escaped")
            << 0x03 << QByteArray(218, '\0') << wire("dbdd0003", 218, 0);
        QTest::newRow("payload specials")
            << 0x03 << wire("c0db01dcdd") << wire("060003dbdcdbdd01dcddc0");
        QTest::newRow("command C0") << 0xC0 << QByteArray() << wire("0100dbdcc0");
    }

    void encode()
    {
        QFETCH(int, command);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, line);

        QByteArray out(2 * (payload.size() + 3) + 1, '\0');
        const size_t n = cdc::encodeFrame(reinterpret_cast<uint8_t*>(out.data()), uint8_t(command),
                                          bytesOf(payload.constData()), size_t(payload.size()));
        QCOMPARE(out.left(int(n)).toHex(), line.toHex());
    }

    void commands_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QByteArray>("reply"); // empty: the device stays silent
        QTest::addColumn<bool>("failed");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("debug");

        const QByteArray silent;
        const QStringList timeout{"Timeout occurrued"};
        const auto timedOut = [](const char* command) {
            return QStringList{"Timeout occurrued", QString("CDC Error: %1 timeout").arg(command)};
        };
        const QString noMacs = "000000000000 000000000000";
        const QString tail = "|eeeeeeee";
        const QString untouched8 = "eeeeeeeeeeeeeeee";

        commandRow("GetVersion text", wire("080001465720332e3200c0"), false, "FW 3.2|reported");
        commandRow("GetVersion text to frame end", wire("070001465720332e32c0"), false,
                   "FW 3.2|reported");
        commandRow("GetVersion UTF-8", wire("05000156c3a900c0"), false, "V\u00e9|reported");
        commandRow("GetVersion empty text", wire("02000100c0"), false, "old|none");
        commandRow("GetVersion no payload", wire("010001c0"), false, "old|none");
        commandRow("GetVersion silent", silent, true, "old|none", timeout);
        commandRow("QueryVersion text", wire("10000c426f6f746c6f6164657220312e3000c0"), false,
                   "Bootloader 1.0|reported");

        commandRow("StartESP accepted", wire("02000200c0"), false, "");
        commandRow("StartESP refused", wire("02000205c0"), true, "",
                   {"CDC Error: SendStartESP result NOK, 5"});
        commandRow("StartESP no result", wire("010002c0"), true, "",
                   {"CDC Error: SendStartESP result missing"});
        commandRow("StartESP silent", silent, true, "", timedOut("SendStartESP"));
        commandRow("WriteESP accepted", wire("02000300c0"), false, "");
        commandRow("WriteESP refused", wire("020003dbdcc0"), true, "",
                   {"CDC Error: SendWriteESP result NOK, 192"});
        commandRow("WriteESP silent", silent, true, "", timedOut("SendWriteESP"));
        commandRow("EndESP result 0", wire("02000400c0"), false, "");
        commandRow("EndESP result 1", wire("02000401c0"), true, "");
        commandRow("DeleteESP deleted", wire("02000500c0"), false, "");
        commandRow("DeleteESP absent", wire("02000502c0"), true, "",
                   {"CDC Error: SendDeleteESP result NOK, 2"});
        commandRow("DeleteESP silent", silent, true, "", timedOut("SendDeleteESP"));

        commandRow("SetDeviceID answer replaces", wire("0900062a00000000000000c0"), false, "2a");
        commandRow("SetDeviceID short answer", wire("05000601020304c0"), true, "102030405060708");
        commandRow("Reboot answered", wire("010008c0"), false, "");
        commandRow("Reboot answer with payload", wire("02000801c0"), false, "");
        commandRow("Reboot silent", silent, true, "", timeout);
        commandRow("LeaveBootloader answered", wire("010009c0"), false, "");
        commandRow("LeaveBootloader silent", silent, true, "", timeout);

        commandRow("GetMACs", wire("0d000a001a2b3c4d5e001a2b3c4d5fc0"), false,
                   "001a2b3c4d5e 001a2b3c4d5f");
        commandRow("GetMACs no MACs", wire("02000a00c0"), false, noMacs);
        commandRow("GetMACs short", wire("04000a010203c0"), true, noMacs);
        commandRow("GetDeviceID max", wire("09000bffffffffffffffffc0"), false,
                   "18446744073709551615");
        commandRow("GetDeviceID longer frame", wire("0a000b2a0000000000000099c0"), false, "42");
        commandRow("GetDeviceID short", wire("05000b01020304c0"), true, "5");
        commandRow("GetStatusWord", wire("05000d01000080c0"), false, "2147483649");
        commandRow("GetStatusWord zero", wire("05000d00000000c0"), true, "7");

        commandRow("GetParameter value", wire("05000ea1b2c3d4c0"), false, "a1b2c3d4|4" + tail);
        commandRow("GetParameter empty value", wire("01000ec0"), false, "|0" + tail);
        commandRow("GetParameter 64 bytes", wire("41000e", 64, 0x44), false,
                   hexOf(64, 0x44) + "|64" + tail);
        commandRow(
            "GetParameter 65 bytes", wire("42000e", 65, 0x44), true,
            hexOf(64, '\xEE') + "|64" + tail,
            {"CDC Error: SendGetParameter value of 65 bytes exceeds the buffer of 64 bytes"});
        commandRow("SetParameter answered", wire("01000fc0"), false, "");
        commandRow("SetParameter silent", silent, true, "", timeout);

        commandRow("GetInfoBlock 203", wire("c90010", 200, 0x11), false, hexOf(200, 0x11));
        commandRow("GetInfoBlock 202", wire("c80010", 199, 0x11), true, hexOf(200, '\xEE'));
        commandRow("GetInfoBlock 204", wire("ca0010", 201, 0x11), true, hexOf(200, '\xEE'));
        commandRow("GetRecord 35", wire("210011", 32, 0x22), false, hexOf(24, 0x22));
        commandRow("GetRecord 34", wire("200011", 31, 0x22), true, hexOf(24, '\xEE'));

        commandRow("StartFileRead size", wire("050012e8030000c0"), false, "1000");
        commandRow("StartFileRead empty file", wire("05001200000000c0"), false, "0");
        commandRow("StartFileRead no such file", wire("050012ffffffffc0"), true, "0",
                   {"CDC Error: SendStartFileRead: file doesn't exist"});
        commandRow("StartFileRead silent", silent, true, "0", timedOut("SendStartFileRead"));
        commandRow("ReadFile n bytes", wire("05001301020304c0"), false, "01020304eeeeeeee");
        commandRow("ReadFile one byte short", wire("040013070809c0"), true, untouched8,
                   {"CDC Error: SendReadFile result NOK, 7"});
        commandRow("ReadFile one byte long", wire("0600130102030405c0"), true, untouched8,
                   {"CDC Error: SendReadFile result NOK, 1"});
        commandRow("ReadFile silent", silent, true, untouched8, timedOut("SendReadFile"));
        commandRow("EndFileRead result 0", wire("02001400c0"), false, "");
        commandRow("EndFileRead result 3", wire("02001403c0"), true, "");
        commandRow("Command7E answered", wire("01007ec0"), false, "");
        commandRow("Command7E silent", silent, true, "", timeout);
    }

    void commands()
    {
        QFETCH(QString, op);
        QFETCH(QByteArray, reply);
        QFETCH(bool, failed);
        QFETCH(QString, output);
        QFETCH(QStringList, debug);

        if (!reply.isEmpty())
            script(reply);
        DebugCapture capture;
        bool result = !failed;
        QCOMPARE(runCommand(*m_link, op, result), output);
        QCOMPARE(capture.lines(), debug);
        QCOMPARE(result, failed);
        const auto& requests = memline::state().writes;
        QCOMPARE(int(requests.size()), 1);
        QCOMPARE(hexOf(requests.front()), wire(requestOf(op).hex).toHex());
        QCOMPARE(m_link->lastTimeoutMs(), requestOf(op).timeoutMs);
    }

    void nameFields_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("field32");

        QTest::newRow("short") << "a.bin" << QByteArray("612e62696e") + QByteArray(54, '0');
        QTest::newRow("31 characters") << QString(31, 'x') << QByteArray(31, 'x').toHex() + "00";
        QTest::newRow("32 characters: no NUL") << QString(32, 'y') << QByteArray(32, 'y').toHex();
        QTest::newRow("40 characters: cut")
            << QString(32, 'z') + "12345678" << QByteArray(32, 'z').toHex();
        QTest::newRow("UTF-8") << QString::fromUtf8("Updates/\xC3\xBC.bin")
                               << QByteArray("557064617465732fc3bc2e62696e") + QByteArray(36, '0');
    }

    void nameFields()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, field32);

        script(wire("02000200c0"));
        script(wire("02000500c0"));
        script(wire("05001200000000c0"));
        QVERIFY(!m_link->SendStartESP(name, 0x1234));
        QVERIFY(!m_link->SendDeleteESP(name));
        quint32 size = 1;
        QVERIFY(!m_link->SendStartFileRead(0x0102, name, size));

        const auto& requests = memline::state().writes;
        QCOMPARE(int(requests.size()), 3);
        QCOMPARE(hexOf(requests[0]), "25000234120000" + field32 + "c0");
        QCOMPARE(hexOf(requests[1]), "210005" + field32 + "c0");
        QCOMPARE(hexOf(requests[2]), "1b00120201" + field32.left(48) + "c0");
    }

    // The key read's answer as the line may deliver it: in pieces, late, after other frames,
    // after bytes that cannot be a frame. Whatever the pieces, the answer is reassembled; what
    // cannot be a frame is dropped up to its END byte and never decoded from the middle.
    void deliveries_data()
    {
        QTest::addColumn<QByteArrayList>("pieces"); // one read each
        QTest::addColumn<bool>("failed");

        const QByteArray answer = wire("09000e0102dbdc04050607dbddc0");
        const auto after = [&](const QByteArray& before) {
            return QByteArrayList{before + answer};
        };
        QByteArrayList usb;
        const QByteArray big = wire("0000", 600, 0x0E) + answer;
        for (int at = 0; at < big.size(); at += 64)
            usb.append(big.mid(at, 64));
        QByteArrayList bytes;
        for (char c : answer)
            bytes.append(QByteArray(1, c));

        QTest::newRow("whole") << after({}) << false;
        QTest::newRow("cut across two reads")
            << QByteArrayList{answer.left(5), answer.mid(5)} << false;
        QTest::newRow("byte at a time") << bytes << false;
        QTest::newRow("another code first, one read") << after(wire("02000a00c0")) << false;
        QTest::newRow("another code first, a read of its own")
            << QByteArrayList{wire("02000a00c0"), answer} << false;
        QTest::newRow("END first") << after(wire("c0")) << false;
        QTest::newRow("garbage up to an END") << after(wire("55aa00ff1337c0")) << false;
        QTest::newRow("bad escape") << after(wire("03000edb0101c0")) << false;
        QTest::newRow("over the area, in 64-byte pieces") << usb << false;
        QTest::newRow("over the read limit, no answer")
            << QByteArrayList{wire("2008", 2083, 0x0E)} << true;
        QTest::newRow("garbage glued to the answer") << after(wire("55aa")) << true;
    }

    void deliveries()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(bool, failed);

        for (const QByteArray& bytes : pieces)
            script(bytes);
        uint8_t value[64];
        quint16 length = sizeof value;
        QCOMPARE(m_link->SendGetParameter(17, value, length), failed);
        if (!failed)
            QCOMPARE(hexOf(value, length), QByteArray("0102c004050607db"));
    }

    void bigAreaHoldsItsLargestFrame()
    {
        // SendReadFile's area holds 1024 bytes: 1021 data bytes fit, 1022 do not.
        std::vector<uint8_t> data(1100);
        script(wire("fe0313", 1021, 0x66));
        QVERIFY(!m_link->SendReadFile(0, data.data(), 1021));
        script(wire("ff0313", 1022, 0x66));
        QVERIFY(m_link->SendReadFile(0, data.data(), 1022));
    }

    void oversizeRequestsAreRefused()
    {
        script(wire("02000300c0"));
        std::vector<uint8_t> data(1014, 0xC0);
        QVERIFY(!m_link->SendWriteESP(0, data.data(), 1013)); // 1013 fills the 1024-byte area
        QVERIFY(m_link->SendWriteESP(0, data.data(), 1014));
        QVERIFY(m_link->SendSetParameter(17, data.data(), 508)); // 510 payload bytes: over 509
        script(wire("01000fc0"));
        QVERIFY(!m_link->SendSetParameter(17, data.data(), 507));
        const auto& requests = memline::state().writes;
        QCOMPARE(int(requests.size()), 2); // nothing of the refused requests reached the line
        QCOMPARE(int(requests[0].size()), 3 + 8 + 2 * 1013 + 1);
        QCOMPARE(hexOf(requests[0]).left(22), QByteArray("fe030300000000f5030000"));
        QCOMPARE(hexOf(requests[1]).left(12), QByteArray("fe010f1100db"));
    }
};

UNIT_TEST(LinkTables)
#include "unit_link.moc"
