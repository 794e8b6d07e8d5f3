#include "cdc_framing.h"

namespace cdc {

void escapeBytes(uint8_t*& cursor, const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        if (b == kEnd) {
            *cursor++ = kEsc;
            *cursor++ = kEscEnd;
        } else if (b == kEsc) {
            *cursor++ = kEsc;
            *cursor++ = kEscEsc;
        } else {
            *cursor++ = b;
        }
    }
}

bool unescapeFrame(uint8_t* out, size_t outCap, const uint8_t* in, size_t& count)
{
    const size_t inLen = count;
    count = 0;
    size_t produced = 0;
    bool escaped = false;
    for (size_t i = 0; i < inLen; ++i) {
        uint8_t value = 0;
        switch (unescapeStep(in[i], escaped, value)) {
        case Step::Escape:
            break;
        case Step::Byte:
            if (produced == outCap)
                return true;
            out[produced++] = value;
            break;
        case Step::End:
            count = produced;
            return false;
        case Step::Bad:
            return true;
        }
    }
    // No END byte within the input.
    return true;
}

size_t encodeFrame(uint8_t* out, uint8_t command, const uint8_t* payload, size_t n)
{
    const uint8_t header[3] = {static_cast<uint8_t>((n + 1) & 0xFF),
                               static_cast<uint8_t>(((n + 1) >> 8) & 0xFF), command};
    uint8_t* cursor = out;
    escapeBytes(cursor, header, sizeof header);
    escapeBytes(cursor, payload, n);
    *cursor++ = kEnd;
    return static_cast<size_t>(cursor - out);
}

} // namespace cdc
