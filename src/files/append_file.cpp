#include "append_file.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QLockFile>
#else
#include <QThread>
#include <cerrno>
#include <sys/file.h>
#endif

#include "regular_file.h"

namespace {
// Append-only; bytes go unchanged, so the LF line ends stay LF on Windows too.
constexpr QIODevice::OpenMode kAppend = QIODevice::ReadWrite | QIODevice::Append;
} // namespace

Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line)
{
    const QFileInfo info(path);
    const bool existed = info.exists();
    QFile file(path);
    if ((existed && !info.isFile()) || !file.open(kAppend))
        return Append::NotOpened;
    const qint64 oldSize = file.size();
    Append result = Append::Written;
    if (!existed && !header.isEmpty() && file.write(header) != header.size())
        result = Append::HeaderNotWritten;
    // Buffered writes surface a full disk only when flushed, so the flush is part of the check.
    else if (file.write(line) != line.size() || !file.flush())
        result = Append::NotWritten;
    file.close();
    if (result == Append::Written && file.error() != QFileDevice::NoError)
        result = Append::NotWritten;
    if (result != Append::Written) {
        // A line cut short would spoil the file for every later reader: back to the old size,
        // or gone when this write created it.
        if (existed)
            file.resize(oldSize);
        else
            file.remove();
    }
    return result;
}

namespace {

// A holder keeps the lock for one append only; a writer stuck far longer (a hung network drive)
// costs the line, not the run.
constexpr int kLockWaitMs = 5000;
constexpr QIODevice::OpenMode kSharedAppend =
    QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered;

#ifndef Q_OS_WIN
// The flock() lock goes with the descriptor: a writer that dies never leaves it held.
bool openAndLock(QFile& file)
{
    if (!openRegularFile(file, kSharedAppend))
        return false;
    for (int waited = 0; waited < kLockWaitMs; ++waited) {
        if (::flock(file.handle(), LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        QThread::msleep(1);
    }
    return false;
}
#endif

bool appendLocked(QFile& file, const QByteArray& line)
{
    const qint64 oldSize = file.size();
    QByteArray bytes = line;
    if (oldSize > 0 && (!file.seek(oldSize - 1) || file.read(1) != "\n"))
        bytes.prepend('\n');
    // Unbuffered: the whole line goes out in one write() at the end of the file.
    if (file.seek(oldSize) && file.write(bytes) == bytes.size())
        return true;
    // Under the lock nobody has written since: back to the old size loses no one's line.
    file.resize(oldSize);
    return false;
}

} // namespace

bool appendShared(const QString& path, const QByteArray& line)
{
    QFile file(path);
#ifdef Q_OS_WIN
    // Windows appends by seeking to the end, which is no atomic append: a lock file beside the
    // file orders the writers; QLockFile takes over a lock whose process is gone.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs) || !openRegularFile(file, kSharedAppend))
        return false;
#else
    if (!openAndLock(file))
        return false;
#endif
    return appendLocked(file, line);
}
