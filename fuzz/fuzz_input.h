#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Stops the run with the failed condition; libFuzzer records the input as a crash.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
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

} // namespace fuzzin
