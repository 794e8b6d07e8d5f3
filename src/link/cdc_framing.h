#pragma once
#include <cstddef>
#include <cstdint>

// SLIP-style byte stuffing of CDC frames; pure functions shared by the tool and the simulated device.
namespace cdc {

constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEsc = 0xDB;
constexpr uint8_t kEscEnd = 0xDC;
constexpr uint8_t kEscEsc = 0xDD;

constexpr size_t kMaxRequest = 523;        // 3 header bytes + SendWriteESP payload with 512 data bytes
constexpr size_t kMaxEncoded = 2 * kMaxRequest + 1;
// The largest frame area of the command set (SendWriteESP, SendReadFile); requests up to this
// size are encoded without overflow even though the download stays within kMaxRequest.
constexpr size_t kMaxFrameArea = 1024;
constexpr size_t kMaxEncodedArea = 2 * kMaxFrameArea + 1;

// What one line byte means to the decoder.
enum class Step { Escape, Byte, End, Bad };

// Decodes one line byte: an escape start, a frame byte (value), the END byte, or a bad escape.
inline Step unescapeStep(uint8_t b, bool& escaped, uint8_t& value)
{
    if (b == kEnd) {
        // A pending escape right before the END byte is dropped.
        escaped = false;
        return Step::End;
    }
    if (escaped) {
        escaped = false;
        if (b != kEscEnd && b != kEscEsc)
            return Step::Bad;
        value = b == kEscEnd ? kEnd : kEsc;
        return Step::Byte;
    }
    if (b == kEsc) {
        escaped = true;
        return Step::Escape;
    }
    value = b;
    return Step::Byte;
}

// Appends the escaped form of count bytes at cursor and advances it.
void escapeBytes(uint8_t*& cursor, const uint8_t* bytes, size_t count);

// Decodes one frame up to its END byte. count: input length in, decoded length out.
// Returns true on failure: no input, a bad escape, no END byte within the input, or more than
// outCap decoded bytes. Never reads past the input nor writes past out + outCap.
bool unescapeFrame(uint8_t* out, size_t outCap, const uint8_t* in, size_t& count);

// Encodes header (length = n + 1, little-endian; command) and payload plus the END byte into out
// (at least 2 * (n + 3) + 1 bytes). Returns the encoded length.
size_t encodeFrame(uint8_t* out, uint8_t command, const uint8_t* payload, size_t n);

} // namespace cdc
