// The frame reader fed arbitrary line bytes in reads of any size: what it hands out fits the
// limit, it finds its way back at the next END byte, and an encoded frame comes back as it was.
// The simulator's request decoder gets the same bytes.
#include "cdc_framing.h"
#include "frame_reader.h"
#include "fuzz_input.h"

#include <algorithm>
#include <memory>

namespace {

// Each read in its own heap block of its exact size, so an overrun hits a red zone; every whole
// frame is taken out as it completes. Returns the last frame handed out, if any.
std::vector<uint8_t> feed(FrameReader& reader, const std::vector<uint8_t>& bytes, size_t piece,
                          size_t limit)
{
    std::vector<uint8_t> last;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        std::unique_ptr<uint8_t[]> read(new uint8_t[n]);
        std::copy_n(bytes.begin() + long(at), n, read.get());
        reader.feed(read.get(), n);
        const uint8_t* frame = nullptr;
        size_t length = 0;
        while (reader.next(limit, frame, length)) {
            FUZZ_CHECK(length >= 1 && length <= std::min(limit, cdc::kMaxFrameArea));
            last.assign(frame, frame + length);
        }
    }
    return last;
}

// unescapeFrame on exact-size buffers: a decoded frame fits the area, a failure reports none.
void checkUnescape(const std::vector<uint8_t>& bytes, size_t cap)
{
    std::unique_ptr<uint8_t[]> in(new uint8_t[bytes.size() + 1]);
    std::unique_ptr<uint8_t[]> out(new uint8_t[cap + 1]);
    std::copy(bytes.begin(), bytes.end(), in.get());
    size_t count = bytes.size();
    const bool failed = cdc::unescapeFrame(out.get(), cap, in.get(), count);
    FUZZ_CHECK(failed ? count == 0 : count <= cap);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzin::ByteSource src(data, size);
    const size_t limit = src.u16() % 1100;
    const uint8_t command = src.u8();
    const size_t cut = src.u8() & 0x3F; // reads of at most this many bytes; 0: all at once
    const std::vector<uint8_t> bytes = src.rest();
    const size_t piece = cut ? cut : SIZE_MAX;

    checkUnescape(bytes, limit);

    // The same bytes as a payload, encoded: one END byte, at the end, and back as they were.
    const size_t n = std::min(bytes.size(), cdc::kMaxFrameArea - 3);
    std::vector<uint8_t> encoded(2 * (n + 3) + 1);
    encoded.resize(cdc::encodeFrame(encoded.data(), command, bytes.data(), n));
    FUZZ_CHECK(std::count(encoded.begin(), encoded.end(), cdc::kEnd) == 1);
    FUZZ_CHECK(encoded.back() == cdc::kEnd);

    // Whatever came before, the frame after the next END byte is handed out whole.
    FrameReader reader;
    feed(reader, bytes, piece, limit);
    feed(reader, {cdc::kEnd}, 1, limit);
    const std::vector<uint8_t> frame = feed(reader, encoded, piece, limit);
    if (n + 3 > std::min(limit, cdc::kMaxFrameArea)) {
        FUZZ_CHECK(frame.empty());
        return 0;
    }
    FUZZ_CHECK(frame.size() == n + 3);
    FUZZ_CHECK(frame[0] == uint8_t((n + 1) & 0xFF) && frame[1] == uint8_t((n + 1) >> 8));
    FUZZ_CHECK(frame[2] == command);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.begin() + long(n), frame.begin() + 3));
    return 0;
}
