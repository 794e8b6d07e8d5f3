// Every command operation fed arbitrary response bytes for its request, over the in-memory line.
#include "cdc_framing.h"
#include "fuzz_input.h"
#include "memory_line.h"
#include "usb_cdc_protocol.h"

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <cstring>
#include <memory>

namespace {

struct Params
{
    uint8_t op = 0;
    uint16_t a = 0;
    uint16_t b = 0;
    uint8_t control = 0;
    std::vector<uint8_t> stream;
};

// What the caller sees after one operation.
struct Outcome
{
    bool failed = false;
    bool versionReported = false;
    std::vector<uint8_t> out;
    QString text;
    uint8_t requestCode = 0;

    bool operator==(const Outcome& o) const
    {
        return failed == o.failed && versionReported == o.versionReported && out == o.out
               && text == o.text && requestCode == o.requestCode;
    }
};

const QString kNames[] = {
    QStringLiteral("system.bin"),
    QStringLiteral("Updates/app.bin"),
    QStringLiteral("abcdefghijklmnopqrstuvwxyz012345"),          // fills a 32-byte field
    QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789ABCD"),  // cut at the field width
    QStringLiteral("testres.bin"),
    QString::fromUtf8("caf\xc3\xa9-\xe2\x82\xac.bin"),
    QString(),
};

// Overwrites the stack below the caller so that stale frame-area bytes differ between two runs.
__attribute__((noinline)) void smearStack(uint8_t pattern)
{
    uint8_t bytes[32768];
    memset(bytes, pattern, sizeof bytes);
    // Keeps the stores: the compiler must assume the bytes are read.
    asm volatile("" : : "r"(bytes) : "memory");
}

template <typename T>
void append(std::vector<uint8_t>& out, const T& v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

std::unique_ptr<uint8_t[]> exactBuffer(size_t n, uint8_t fill)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    memset(p.get(), fill, n ? n : 1);
    return p;
}

// The request on the line decodes to one frame with this code and a matching length field.
void checkRequest(const std::vector<uint8_t>& raw, uint8_t code)
{
    if (raw.empty())
        return;
    FUZZ_CHECK(raw.size() <= 2 * 1024 + 1);
    FUZZ_CHECK(raw.back() == 0xC0);
    std::vector<uint8_t> decoded(raw.size());
    size_t count = raw.size();
    FUZZ_CHECK(!cdc::unescapeFrame(decoded.data(), decoded.size(), raw.data(), count));
    FUZZ_CHECK(count >= 3);
    FUZZ_CHECK(decoded[2] == code);
    FUZZ_CHECK(size_t(decoded[0] | decoded[1] << 8) == count - 2);
}

Outcome runOp(const Params& p, uint8_t pattern)
{
    memline::reset();
    fuzzin::scriptReads(p.control, p.stream);
    cUSB_CDC_Protocol protocol;
    FUZZ_CHECK(!protocol.open(QStringLiteral("fuzz")));
    smearStack(pattern);

    Outcome o;
    const QString& name = kNames[p.a % (sizeof kNames / sizeof kNames[0])];
    uint8_t code = 0;
    switch (p.op % 20) {
    case 0:
    case 10: {
        code = p.op % 20 == 0 ? 0x01 : 0x0C;
        QString text = QStringLiteral("before");
        o.failed = code == 0x01 ? protocol.SendGetVersion(text) : protocol.SendQueryVersion(text);
        if (o.failed)
            FUZZ_CHECK(text == QStringLiteral("before"));
        FUZZ_CHECK(!text.contains(QChar(0)));
        FUZZ_CHECK(!text.isEmpty());
        o.text = text;
        break;
    }
    case 1:
        code = 0x02;
        o.failed = protocol.SendStartESP(name, uint32_t(p.b) << 8);
        break;
    case 2: {
        code = 0x03;
        const size_t n = p.b % 1100;
        auto data = exactBuffer(n, 0xDB);
        o.failed = protocol.SendWriteESP(p.a, data.get(), uint32_t(n));
        break;
    }
    case 3:
        code = 0x04;
        o.failed = protocol.SendEndESP();
        break;
    case 4:
        code = 0x05;
        o.failed = protocol.SendDeleteESP(name);
        break;
    case 5: {
        code = 0x06;
        quint64 id = 0x0123456789ABCDEFull;
        o.failed = protocol.SendSetDeviceID(id);
        append(o.out, id);
        break;
    }
    case 6:
        code = 0x08;
        o.failed = protocol.SendReboot();
        break;
    case 7:
        code = 0x09;
        o.failed = protocol.SendLeaveBootloader();
        break;
    case 8: {
        code = 0x0A;
        auto wifi = exactBuffer(6, 0xAA);
        auto eth = exactBuffer(6, 0xAA);
        o.failed = protocol.SendGetMACs(wifi.get(), eth.get());
        o.out.assign(wifi.get(), wifi.get() + 6);
        o.out.insert(o.out.end(), eth.get(), eth.get() + 6);
        break;
    }
    case 9: {
        code = 0x0B;
        quint64 id = 7;
        o.failed = protocol.SendGetDeviceID(id);
        if (o.failed)
            FUZZ_CHECK(id == 7);
        append(o.out, id);
        break;
    }
    case 11: {
        code = 0x0D;
        quint32 value = 5;
        o.failed = protocol.SendGetStatusWord(value);
        FUZZ_CHECK(o.failed ? value == 5 : value != 0);
        append(o.out, value);
        break;
    }
    case 12: {
        code = 0x0E;
        const quint16 cap = p.b % 600;
        auto data = exactBuffer(cap, 0x5A);
        quint16 length = cap;
        o.failed = protocol.SendGetParameter(p.a, data.get(), length);
        if (!o.failed) {
            FUZZ_CHECK(length <= cap);
            o.out.assign(data.get(), data.get() + length);
        }
        append(o.out, length);
        break;
    }
    case 13: {
        code = 0x0F;
        const quint16 n = p.b % 600;
        auto data = exactBuffer(n, 0xC0);
        o.failed = protocol.SendSetParameter(p.a, data.get(), n);
        break;
    }
    case 14: {
        code = 0x10;
        auto block = exactBuffer(200, 0x11);
        o.failed = protocol.SendGetInfoBlock(block.get());
        o.out.assign(block.get(), block.get() + 200);
        break;
    }
    case 15: {
        code = 0x11;
        auto record = exactBuffer(24, 0x22);
        o.failed = protocol.SendGetRecord(p.a, p.b, record.get());
        o.out.assign(record.get(), record.get() + 24);
        break;
    }
    case 16: {
        code = 0x12;
        quint32 size = 99;
        o.failed = protocol.SendStartFileRead(p.b, name, size);
        FUZZ_CHECK(o.failed ? size == 0 : size <= 0x7FFFFFFFu);
        append(o.out, size);
        break;
    }
    case 17: {
        code = 0x13;
        const quint32 n = p.b % 1100;
        auto data = exactBuffer(n, 0x33);
        o.failed = protocol.SendReadFile(p.a, data.get(), n);
        o.out.assign(data.get(), data.get() + n);
        break;
    }
    case 18:
        code = 0x14;
        o.failed = protocol.SendEndFileRead();
        break;
    case 19:
        code = 0x7E;
        o.failed = protocol.SendCommand7E();
        break;
    }
    o.versionReported = protocol.versionReported();

    const memline::State& s = memline::state();
    checkRequest(s.lastWrite, code);
    o.requestCode = s.lastWrite.empty() ? 0 : code;
    // The exchange stops at the first response of its code: one completing frame at most.
    FUZZ_CHECK(s.repliesServed <= 1);
    return o;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The diagnostics of millions of failing exchanges would only slow the run down.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzin::ByteSource src(data, size);
    Params p;
    p.op = src.u8();
    p.a = src.u16();
    p.b = src.u16();
    p.control = src.u8();
    p.stream = src.rest();

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Outcome first = runOp(p, 0x00);
    const Outcome second = runOp(p, 0xFF);
    // Same bytes from the device, same result: nothing may depend on stale frame-area bytes.
    // A run stalled long enough to meet a time-out proves nothing either way.
    if (Clock::now() - start < std::chrono::milliseconds(200))
        FUZZ_CHECK(first == second);
    return 0;
}
