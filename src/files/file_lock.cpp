#include "file_lock.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#ifdef Q_OS_WIN
#include <QLockFile>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

FileLock::FileLock(const QString& path) : m_path(path)
{}

FileLock::~FileLock()
{
    unlock();
}

#ifdef Q_OS_WIN

bool FileLock::lock(int waitMs)
{
    if (!m_lock) {
        m_lock = std::make_unique<QLockFile>(m_path);
        // Held for milliseconds: only a holder that is gone makes it stale, never its age.
        m_lock->setStaleLockTime(0);
    }
    return m_lock->tryLock(waitMs);
}

void FileLock::unlock()
{
    if (m_lock)
        m_lock->unlock();
}

bool FileLock::heldElsewhere() const
{
    return m_lock && m_lock->error() == QLockFile::LockFailedError;
}

#else

bool FileLock::lock(int waitMs)
{
    m_heldElsewhere = false;
    if (m_fd < 0) {
        const QByteArray path = QFile::encodeName(m_path);
        m_fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        // Another account's lock file: flock() needs no write access.
        if (m_fd < 0 && errno == EACCES)
            m_fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            return false;
    }
    // Each FileLock opens the file on its own, so two threads of one process exclude each other
    // as two processes do.
    QElapsedTimer waited;
    waited.start();
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited.elapsed() >= waitMs) {
            m_heldElsewhere = errno == EWOULDBLOCK;
            return false;
        }
        QThread::usleep(200);
    }
    return true;
}

void FileLock::unlock()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool FileLock::heldElsewhere() const
{
    return m_heldElsewhere;
}

#endif
