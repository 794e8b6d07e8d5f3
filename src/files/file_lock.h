#pragma once
#include <QString>
#include <memory>

class QLockFile;

// An exclusive lock that orders the threads and processes working on one station file: held by
// one FileLock object at a time, also between threads of one process. On Linux an flock() on
// the lock file, which the system drops when its holder dies; on Windows a lock file that
// QLockFile takes over when its process is gone.
class FileLock
{
public:
    explicit FileLock(const QString& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Waits up to waitMs for the lock (0: one try); false when another holder kept it or the
    // lock file cannot be made.
    [[nodiscard]] bool lock(int waitMs);
    void unlock();
    // After a failed lock(): true when another holder kept it, false when the lock file could
    // not be made or opened.
    bool heldElsewhere() const;

private:
    QString m_path;
#ifdef Q_OS_WIN
    std::unique_ptr<QLockFile> m_lock;
#else
    int m_fd = -1;
    bool m_heldElsewhere = false;
#endif
};
