#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "memory_line.h"

// Stops the run with the failed condition; libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

namespace fuzzin {

// Takes fields from the front of a fuzz input; past its end every field reads as 0.
class ByteSource
{
public:
    ByteSource(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t u16() { return uint16_t(u8() | u8() << 8); }
    std::vector<uint8_t> rest()
    {
        std::vector<uint8_t> r(m_data + m_pos, m_data + m_size);
        m_pos = m_size;
        return r;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Turns the raw line bytes into the reads of the in-memory line. control:
// bit 7 puts one failed read first; bit 6 ends a read after each END byte, as a device answering
// frame by frame does; bits 0-5, when not 0, cut reads to at most that many bytes (split answers).
inline void scriptReads(uint8_t control, const std::vector<uint8_t>& stream)
{
    memline::State& s = memline::state();
    if (control & 0x80) {
        memline::Read failed;
        failed.fails = true;
        s.reads.push_back(failed);
    }
    const bool cutAtEnd = control & 0x40;
    const size_t maxRead = control & 0x3F;
    memline::Read current;
    for (uint8_t b : stream) {
        current.bytes.push_back(b);
        if ((cutAtEnd && b == 0xC0) || (maxRead && current.bytes.size() == maxRead)) {
            s.reads.push_back(current);
            current.bytes.clear();
        }
    }
    if (!current.bytes.empty())
        s.reads.push_back(current);
}

} // namespace fuzzin
