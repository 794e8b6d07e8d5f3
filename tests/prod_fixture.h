#pragma once
// Equipment shared by the tests on pseudo-terminals: a temporary station with simulated devices
// plugged into a temporary extra-ports file and a bounded stopper for runs, beside the portable
// equipment of test_support.h.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdlib.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "devsim.h"
#include "flashing.h"
#include "logger.h"
#include "serial_line.h"
#include "station.h"
#include "test_support.h"

namespace prodtest {

// Copies a folder tree (the example station) into place.
inline bool copyTree(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    const QDir::Filters all = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden;
    for (const QFileInfo& info : QDir(from).entryInfoList(all)) {
        const QString target = to + '/' + info.fileName();
        if (info.isDir() ? !copyTree(info.filePath(), target) : !QFile::copy(info.filePath(), target))
            return false;
    }
    return true;
}

// File contents that hold every byte value, the frame delimiters 0xC0 and 0xDB among them.
inline QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

inline int countOf(const std::vector<uint8_t>& codes, uint8_t code)
{
    return int(std::count(codes.begin(), codes.end(), code));
}

// The command codes a simulated device received, in order.
inline QByteArray codesOf(const devsim::Device& device)
{
    const std::vector<uint8_t> codes = device.commandCodes();
    return QByteArray(reinterpret_cast<const char*>(codes.data()), int(codes.size()));
}

inline qint64 threadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A temporary folder holding the extra-ports file (exported as VELTORA_EXTRA_PORTS), the
// simulated devices' files and, optionally, a station.
class Bench
{
public:
    Bench()
    {
        qputenv("VELTORA_EXTRA_PORTS", portsFile().toLocal8Bit());
        writeFile(portsFile(), QByteArray());
    }
    ~Bench()
    {
        m_devices.clear();
        qunsetenv("VELTORA_EXTRA_PORTS");
        setStationDir(QString());
    }
    QString path() const { return m_dir.path(); }
    QString portsFile() const { return m_dir.path() + "/ports"; }
    QString station() const { return m_dir.path() + "/station"; }
    QString fsRoot(int index = 0) const { return m_dir.path() + "/fs" + QString::number(index); }

#ifdef PROD_EXAMPLE_STATION
    // The example station of the repository, as the station of this test.
    bool useExampleStation()
    {
        setStationDir(station());
        return copyTree(QStringLiteral(PROD_EXAMPLE_STATION), station());
    }
#endif

    devsim::Config config(int index = 0) const
    {
        devsim::Config config;
        config.dir = m_dir.path().toStdString();
        config.portsFile = portsFile().toStdString();
        config.linkName = "ttySIM" + std::to_string(index);
        config.fsRoot = fsRoot(index).toStdString();
        config.rebootDelayMs = 30;
        // Answers come as a USB device sends them: 64-byte packets at random moments.
        config.usbGapMaxUs = 300;
        config.seed = unsigned(index + 1);
        return config;
    }
    devsim::Device* start(const devsim::Config& config)
    {
        m_devices.emplace_back(new devsim::Device(config));
        return m_devices.back()->start() ? m_devices.back().get() : nullptr;
    }

private:
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<devsim::Device>> m_devices;
};

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

} // namespace prodtest
