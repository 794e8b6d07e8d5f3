#include "frame_reader.h"

void FrameReader::clear()
{
    m_raw.clear();
    m_at = 0;
    m_length = 0;
    m_escaped = false;
    m_dropping = false;
}

void FrameReader::feed(const uint8_t* bytes, size_t n)
{
    if (m_at == m_raw.size()) {
        m_raw.clear();
        m_at = 0;
    } else if (m_at >= cdc::kMaxFrameArea) {
        m_raw.erase(m_raw.begin(), m_raw.begin() + long(m_at));
        m_at = 0;
    }
    m_raw.insert(m_raw.end(), bytes, bytes + n);
}

bool FrameReader::next(size_t limit, const uint8_t*& frame, size_t& length)
{
    while (m_at < m_raw.size()) {
        uint8_t value = 0;
        const cdc::Step step = cdc::unescapeStep(m_raw[m_at++], m_escaped, value);
        if (step == cdc::Step::End) {
            const bool whole = !m_dropping && m_length > 0;
            const size_t n = m_length;
            m_length = 0;
            m_dropping = false;
            // An empty frame, the end of a dropped one, or one longer than the caller takes.
            if (!whole || n > limit)
                continue;
            frame = m_frame;
            length = n;
            return true;
        }
        if (m_dropping || step == cdc::Step::Escape)
            continue;
        if (step == cdc::Step::Bad || m_length == sizeof m_frame) {
            m_dropping = true;
            continue;
        }
        m_frame[m_length++] = value;
    }
    return false;
}
