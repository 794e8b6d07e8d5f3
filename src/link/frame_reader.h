#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cdc_framing.h"

// Whole frames out of the byte stream of the line: a frame may arrive in any number of pieces and
// several frames in one piece. What cannot be a frame (longer than the answer area, a bad
// escape) is dropped up to the next END byte, so decoding never starts in the middle of one.
class FrameReader
{
public:
    FrameReader() { m_raw.reserve(4 * cdc::kMaxFrameArea); }

    // Forgets everything fed so far, a half-received frame included.
    void clear();
    void feed(const uint8_t* bytes, size_t n);
    // The next whole frame of 1 to limit decoded bytes (header included); longer ones are dropped.
    // False when no whole frame is buffered yet. The frame stays valid until the next call.
    bool next(size_t limit, const uint8_t*& frame, size_t& length);

private:
    std::vector<uint8_t> m_raw;  // fed, not yet decoded
    size_t m_at = 0;
    uint8_t m_frame[cdc::kMaxFrameArea];
    size_t m_length = 0;
    bool m_escaped = false;
    bool m_dropping = false;  // inside a frame that cannot be one, up to its END byte
};
