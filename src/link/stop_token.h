#pragma once
#include <atomic>

// The stop of one run: set once, from any thread (the window closing, a signal, a time limit),
// and seen by every wait of the run (the link's exchange and writes, the device search, the
// transfers, the J-Link commander), each of which looks at it at least every kCheckMs.
class StopToken
{
public:
    void stop() { m_stopped.store(true); }
    bool stopped() const { return m_stopped.load(); }

    // The longest a wait goes without looking: a stopped run ends within it and the current step.
    static constexpr int kCheckMs = 10;

    // A token nobody stops, for a link or a transfer used outside a run.
    static const StopToken& never()
    {
        static const StopToken token;
        return token;
    }

private:
    std::atomic<bool> m_stopped{false};
};
