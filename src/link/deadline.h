#pragma once
#include <chrono>
#include <cstdint>

// A millisecond deadline on the monotonic clock, immune to wall-clock steps and CPU-time counting.
class Deadline
{
public:
    using Clock = std::chrono::steady_clock;

    void set(uint32_t ms) { m_at = Clock::now() + std::chrono::milliseconds(ms); }
    bool expired() const { return m_at <= Clock::now(); }
    Clock::time_point at() const { return m_at; }
    // Whole milliseconds left, rounded up; 0 once expired.
    int msLeft() const
    {
        const auto left = m_at - Clock::now();
        if (left <= Clock::duration::zero())
            return 0;
        return int(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    Clock::time_point m_at = Clock::now();
};
