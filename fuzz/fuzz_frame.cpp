// Frame decoder fed arbitrary line bytes: unescapeFrame, the encoder round trip and readFrame's checks.
#include "cdc_framing.h"
#include "fuzz_input.h"
#include "memory_line.h"
#include "usb_cdc_protocol.h"

#include <cstring>
#include <memory>

namespace {

// The decoding rules written out again, independently of the decoder under test.
struct Reference
{
    bool failed = true;
    std::vector<uint8_t> frame;
};

Reference referenceDecode(const std::vector<uint8_t>& in, size_t cap)
{
    Reference r;
    bool escaped = false;
    for (uint8_t b : in) {
        if (b == 0xC0) {
            r.failed = r.frame.size() > cap;
            return r;
        }
        if (escaped) {
            escaped = false;
            if (b == 0xDC)
                r.frame.push_back(0xC0);
            else if (b == 0xDD)
                r.frame.push_back(0xDB);
            else
                return r;
        } else if (b == 0xDB) {
            escaped = true;
        } else {
            r.frame.push_back(b);
        }
        if (r.frame.size() > cap)
            return r;
    }
    return r;
}

// Each buffer in its own heap block of its exact size, so any overrun hits a red zone.
std::unique_ptr<uint8_t[]> exactCopy(const std::vector<uint8_t>& v)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[v.size() + (v.empty() ? 1 : 0)]);
    if (!v.empty())
        memcpy(p.get(), v.data(), v.size());
    return p;
}

void checkUnescape(const std::vector<uint8_t>& in, size_t cap)
{
    auto input = exactCopy(in);
    std::unique_ptr<uint8_t[]> out(new uint8_t[cap ? cap : 1]);
    size_t count = in.size();
    const bool failed = cUSB_CDC_Protocol::unescapeFrame(out.get(), cap, input.get(), count);
    const Reference ref = referenceDecode(in, cap);
    FUZZ_CHECK(failed == ref.failed);
    if (failed) {
        FUZZ_CHECK(count == 0);
        return;
    }
    FUZZ_CHECK(count == ref.frame.size());
    FUZZ_CHECK(count == 0 || memcmp(out.get(), ref.frame.data(), count) == 0);
}

void checkRoundTrip(uint8_t command, const std::vector<uint8_t>& payload)
{
    const size_t n = payload.size();
    auto in = exactCopy(payload);
    const size_t encodedCap = 2 * (n + 3) + 1;
    std::unique_ptr<uint8_t[]> encoded(new uint8_t[encodedCap]);
    const size_t encodedLen = cdc::encodeFrame(encoded.get(), command, in.get(), n);
    FUZZ_CHECK(encodedLen <= encodedCap);
    FUZZ_CHECK(encoded[encodedLen - 1] == 0xC0);
    FUZZ_CHECK(memchr(encoded.get(), 0xC0, encodedLen - 1) == nullptr);

    std::unique_ptr<uint8_t[]> decoded(new uint8_t[n + 3]);
    size_t count = encodedLen;
    FUZZ_CHECK(!cdc::unescapeFrame(decoded.get(), n + 3, encoded.get(), count));
    FUZZ_CHECK(count == n + 3);
    FUZZ_CHECK(decoded[0] == uint8_t((n + 1) & 0xFF));
    FUZZ_CHECK(decoded[1] == uint8_t(((n + 1) >> 8) & 0xFF));
    FUZZ_CHECK(decoded[2] == command);
    FUZZ_CHECK(n == 0 || memcmp(decoded.get() + 3, payload.data(), n) == 0);
}

void checkReadFrame(uint8_t command, size_t areaSize, uint8_t control,
                    const std::vector<uint8_t>& stream)
{
    memline::reset();
    fuzzin::scriptReads(control, stream);
    cUSB_CDC_Protocol protocol;
    FUZZ_CHECK(!protocol.open(QStringLiteral("fuzz")));
    std::unique_ptr<uint8_t[]> area(new uint8_t[areaSize ? areaSize : 1]);
    for (int i = 0; i < 16 && !memline::state().reads.empty(); ++i) {
        uint32_t frameLength = 12345;
        const bool failed = protocol.readFrame(command, area.get(), areaSize, frameLength);
        if (failed) {
            FUZZ_CHECK(frameLength == 0);
            continue;
        }
        FUZZ_CHECK(frameLength >= 3);
        FUZZ_CHECK(frameLength <= areaSize);
        FUZZ_CHECK(area[2] == command);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzin::ByteSource src(data, size);
    const size_t cap = src.u16() % 1100;
    const uint8_t command = src.u8();
    const uint8_t control = src.u8();
    const std::vector<uint8_t> bytes = src.rest();

    checkUnescape(bytes, cap);
    if (bytes.size() <= 1100)
        checkRoundTrip(command, bytes);
    checkReadFrame(command, cap, control, bytes);
    return 0;
}
