#include "stop_signals.h"

#include <atomic>
#include <csignal>

namespace cli {

namespace {

std::atomic<int> g_signal{0};

void onSignal(int sig)
{
    g_signal = sig;
}

} // namespace

void watchStopSignals()
{
    g_signal = 0;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool takeStopSignal()
{
    return g_signal.exchange(0) != 0;
}

void restoreStopSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_DFL);
#endif
}

} // namespace cli
