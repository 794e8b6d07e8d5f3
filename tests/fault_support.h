#pragma once
// Equipment of the reliability tests: open descriptors, a bounded stopper thread for runs that
// would wait without end, and whether a port can be opened again.
#include <QDir>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "flashing.h"
#include "serial_line.h"

namespace faulttest {

using Clock = std::chrono::steady_clock;

inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System |
                                                                QDir::Files | QDir::Dirs)
                   .size());
}

// A port is released when another opener gets it; the line takes an exclusive lock.
inline bool opensAgain(const std::string& path)
{
    SerialLine line;
    if (!line.open(path))
        return false;
    line.close();
    return true;
}

inline qint64 msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Stops a worker from another thread: once `ready` has returned (it bounds its own wait), and
// afterMs later. Destroying it first cancels the stop and joins the thread.
class DelayedStop
{
public:
    DelayedStop(Flashing_c& worker, std::function<void()> ready, int afterMs)
        : m_thread([this, &worker, ready, afterMs] {
              if (ready)
                  ready();
              std::unique_lock<std::mutex> lock(m_mutex);
              if (m_cv.wait_for(lock, std::chrono::milliseconds(afterMs), [this] { return m_cancel; }))
                  return;
              m_stoppedAt = Clock::now();
              m_stopped = true;
              worker.stop();
          })
    {
    }
    ~DelayedStop() { cancel(); }

    void cancel()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cancel = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    bool stopped() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stopped;
    }
    Clock::time_point stoppedAt() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stoppedAt;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_cancel = false;
    bool m_stopped = false;
    Clock::time_point m_stoppedAt;
    std::thread m_thread;
};

} // namespace faulttest
