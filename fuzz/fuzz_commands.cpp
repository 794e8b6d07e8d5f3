// Every command operation fed arbitrary response bytes for its request, over the in-memory line.
#include "cdc_commands.h"
#include "cdc_framing.h"
#include "fuzz_input.h"
#include "memory_line.h"
#include "usb_cdc_protocol.h"

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>

namespace {

struct Params
{
    uint8_t op = 0; // the operation: an index into the command table
    uint16_t a = 0;
    uint16_t b = 0;
    uint8_t control = 0;
    std::vector<uint8_t> stream;
};

const QString kNames[] = {
    QStringLiteral("system.bin"),
    QStringLiteral("Updates/app.bin"),
    QStringLiteral("abcdefghijklmnopqrstuvwxyz012345"),         // fills a 32-byte field
    QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789ABCD"), // cut at the field width
    QStringLiteral("testres.bin"),
    QString::fromUtf8("caf\xc3\xa9-\xe2\x82\xac.bin"),
    QString(),
};

// Turns the line bytes into the reads of the in-memory line. control: bit 7 puts one failed read
// first; bit 6 ends a read after each END byte, as a device answering frame by frame does; bits
// 0-5, when not 0, cut reads to at most that many bytes (split answers).
void scriptReads(uint8_t control, const std::vector<uint8_t>& stream)
{
    memline::State& s = memline::state();
    if (control & 0x80)
        s.reads.push_back(memline::Read{true, {}});
    const size_t maxRead = control & 0x3F;
    memline::Read current;
    for (uint8_t b : stream) {
        current.bytes.push_back(b);
        if (((control & 0x40) && b == cdc::kEnd) || current.bytes.size() == maxRead) {
            s.reads.push_back(current);
            current.bytes.clear();
        }
    }
    if (!current.bytes.empty())
        s.reads.push_back(current);
}

// Overwrites the stack below the caller so that stale frame-area bytes differ between two runs.
__attribute__((noinline)) void smearStack(uint8_t pattern)
{
    uint8_t bytes[32768];
    memset(bytes, pattern, sizeof bytes);
    // Keeps the stores: the compiler must assume the bytes are read.
    asm volatile("" : : "r"(bytes) : "memory");
}

// Appends what the caller sees of a value to the outcome.
template <typename T> void append(std::vector<uint8_t>& out, const T& v)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

// A buffer of exactly n bytes, so that a write past it hits a red zone.
std::unique_ptr<uint8_t[]> exactBuffer(size_t n, uint8_t fill)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[n ? n : 1]);
    memset(p.get(), fill, n ? n : 1);
    return p;
}

// The request on the line decodes to one frame with this code and a matching length field.
void checkRequest(const std::vector<uint8_t>& raw, uint8_t code)
{
    FUZZ_CHECK(raw.size() <= cdc::kMaxEncodedArea);
    FUZZ_CHECK(raw.back() == cdc::kEnd);
    std::vector<uint8_t> decoded(raw.size());
    size_t count = raw.size();
    FUZZ_CHECK(!cdc::unescapeFrame(decoded.data(), decoded.size(), raw.data(), count));
    FUZZ_CHECK(count >= 3);
    FUZZ_CHECK(decoded[2] == code);
    FUZZ_CHECK(size_t(decoded[0] | decoded[1] << 8) == count - 2);
}

// What the caller sees after one operation: its result and outputs, as bytes.
std::vector<uint8_t> runOp(const Params& p, uint8_t pattern)
{
    memline::reset();
    scriptReads(p.control, p.stream);
    cUSB_CDC_Protocol protocol;
    FUZZ_CHECK(!protocol.open(QStringLiteral("fuzz")));
    smearStack(pattern);

    std::vector<uint8_t> out;
    bool failed = false;
    const QString& name = kNames[p.a % (sizeof kNames / sizeof kNames[0])];
    const cdc::Command& command = *cdc::kCommands[p.op % std::size(cdc::kCommands)];
    switch (command.code) {
    case cdc::GetVersion.code:
    case cdc::QueryVersion.code: {
        QString text = QStringLiteral("before");
        failed = command.code == cdc::GetVersion.code ? protocol.SendGetVersion(text)
                                                      : protocol.SendQueryVersion(text);
        FUZZ_CHECK(!failed || text == QStringLiteral("before"));
        FUZZ_CHECK(!text.contains(QChar(0)) && !text.isEmpty());
        out.assign(reinterpret_cast<const uint8_t*>(text.utf16()),
                   reinterpret_cast<const uint8_t*>(text.utf16() + text.size()));
        break;
    }
    case cdc::StartESP.code:
        failed = protocol.SendStartESP(name, uint32_t(p.b) << 8);
        break;
    case cdc::WriteESP.code: {
        const size_t n = p.b % 1100;
        failed = protocol.SendWriteESP(p.a, exactBuffer(n, 0xDB).get(), uint32_t(n));
        break;
    }
    case cdc::DeleteESP.code:
        failed = protocol.SendDeleteESP(name);
        break;
    case cdc::SetDeviceID.code: {
        quint64 id = 0x0123456789ABCDEFull;
        failed = protocol.SendSetDeviceID(id);
        append(out, id);
        break;
    }
    case cdc::GetMACs.code: {
        auto wifi = exactBuffer(6, 0xAA);
        auto ethernet = exactBuffer(6, 0xAA);
        failed = protocol.SendGetMACs(wifi.get(), ethernet.get());
        out.assign(wifi.get(), wifi.get() + 6);
        out.insert(out.end(), ethernet.get(), ethernet.get() + 6);
        break;
    }
    case cdc::GetDeviceID.code: {
        quint64 id = 7;
        failed = protocol.SendGetDeviceID(id);
        FUZZ_CHECK(!failed || id == 7);
        append(out, id);
        break;
    }
    case cdc::GetStatusWord.code: {
        quint32 value = 5;
        failed = protocol.SendGetStatusWord(value);
        FUZZ_CHECK(failed ? value == 5 : value != 0);
        append(out, value);
        break;
    }
    case cdc::GetParameter.code: {
        const quint16 cap = p.b % 600;
        auto data = exactBuffer(cap, 0x5A);
        quint16 length = cap;
        failed = protocol.SendGetParameter(p.a, data.get(), length);
        FUZZ_CHECK(failed || length <= cap);
        if (!failed)
            out.assign(data.get(), data.get() + length);
        append(out, length);
        break;
    }
    case cdc::SetParameter.code: {
        const quint16 n = p.b % 600;
        failed = protocol.SendSetParameter(p.a, exactBuffer(n, 0xC0).get(), n);
        break;
    }
    case cdc::GetInfoBlock.code: {
        auto block = exactBuffer(200, 0x11);
        failed = protocol.SendGetInfoBlock(block.get());
        out.assign(block.get(), block.get() + 200);
        break;
    }
    case cdc::GetRecord.code: {
        auto record = exactBuffer(24, 0x22);
        failed = protocol.SendGetRecord(p.a, p.b, record.get());
        out.assign(record.get(), record.get() + 24);
        break;
    }
    case cdc::StartFileRead.code: {
        quint32 size = 99;
        failed = protocol.SendStartFileRead(p.b, name, size);
        FUZZ_CHECK(failed ? size == 0 : size <= 0x7FFFFFFFu);
        append(out, size);
        break;
    }
    case cdc::ReadFile.code: {
        const quint32 n = p.b % 1100;
        auto data = exactBuffer(n, 0x33);
        failed = protocol.SendReadFile(p.a, data.get(), n);
        out.assign(data.get(), data.get() + n);
        break;
    }
    default:
        failed = command.code == cdc::EndESP.code            ? protocol.SendEndESP()
                 : command.code == cdc::Reboot.code          ? protocol.SendReboot()
                 : command.code == cdc::LeaveBootloader.code ? protocol.SendLeaveBootloader()
                 : command.code == cdc::EndFileRead.code     ? protocol.SendEndFileRead()
                                                             : protocol.SendCommand7E();
        break;
    }
    const memline::State& s = memline::state();
    if (!s.lastWrite.empty())
        checkRequest(s.lastWrite, command.code);
    // The exchange stops at the first response of its code: one completing frame at most.
    FUZZ_CHECK(s.repliesServed <= 1);
    out.push_back(failed);
    out.push_back(protocol.versionReported());
    out.push_back(!s.lastWrite.empty());
    return out;
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
    const std::vector<uint8_t> first = runOp(p, 0x00);
    const std::vector<uint8_t> second = runOp(p, 0xFF);
    // Same bytes from the device, same result: nothing may depend on stale frame-area bytes.
    // A run stalled long enough to meet a time-out proves nothing either way.
    if (Clock::now() - start < std::chrono::milliseconds(200))
        FUZZ_CHECK(first == second);
    return 0;
}
