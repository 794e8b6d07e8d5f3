#include "append_file.h"

#include <QDir>
#include <csignal>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <memory>
#include <vector>

#ifdef Q_OS_WIN
#include <QLockFile>
#else
#include <QRandomGenerator>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "regular_file.h"

namespace {

// A holder keeps the lock for one append only; a writer stuck far longer (a hung network drive)
// costs the line, not the run.
constexpr int kLockWaitMs = 5000;
// Append-only and unbuffered: bytes go unchanged (LF stays LF on Windows too), and a line goes
// out in one write() at the end of the file, so a full disk shows at once.
constexpr QIODevice::OpenMode kAppend =
    QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered;
// Less room than this is a full disk: no station line is near it, but the disk is close to
// failing every write.
constexpr qint64 kMinFreeBytes = 1024 * 1024;

#ifndef Q_OS_WIN
// The flock() lock goes with the descriptor: a writer that dies never leaves it held.
bool openAndLock(QFile& file)
{
    if (!openRegularFile(file, kAppend))
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

// The lock is taken after the open, so a writer may find a file another one has just created:
// a new file is linked into place with its header already in it, and nobody ever finds it empty.
Append createWithHeader(const QString& path, const QByteArray& header)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temp =
        target + ".new-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return Append::NotOpened;
    const bool written = ::write(fd, header.constData(), size_t(header.size())) == header.size();
    Append result = ::close(fd) == 0 && written ? Append::Written : Append::HeaderNotWritten;
    // Linking fails when the file is there by now: then it is someone else's, header and all.
    if (result == Append::Written && ::link(temp.constData(), target.constData()) != 0 &&
        errno != EEXIST) {
        // A file system without hard links: a plain rename, unless the file came meanwhile.
        if (!QFileInfo::exists(path) && ::rename(temp.constData(), target.constData()) != 0)
            result = Append::NotOpened;
    }
    ::unlink(temp.constData());
    return result;
}
#endif

// One file open for appending and locked against every other writer until destroyed.
class HeldFile
{
public:
    explicit HeldFile(const QString& path) : m_file(path) {}

    Append open(const QByteArray& header)
    {
        const QString path = m_file.fileName();
#ifdef Q_OS_WIN
        // Windows appends by seeking to the end, which is no atomic append: a lock file beside
        // the file orders the writers; QLockFile takes over a lock whose process is gone.
        m_lock = std::make_unique<QLockFile>(path + QStringLiteral(".lock"));
        if (!m_lock->tryLock(kLockWaitMs))
            return Append::NotOpened;
        // Under the lock file nobody else opens it, so the file is new or not for good.
        const bool created = !QFileInfo::exists(path);
        if (!openRegularFile(m_file, kAppend))
            return Append::NotOpened;
        if (created && !header.isEmpty() && m_file.write(header) != header.size()) {
            m_file.close();
            m_file.remove();
            return Append::HeaderNotWritten;
        }
#else
        if (!header.isEmpty() && !QFileInfo::exists(path)) {
            const Append created = createWithHeader(path, header);
            if (created != Append::Written)
                return created;
        }
        if (!openAndLock(m_file))
            return Append::NotOpened;
#endif
        m_oldSize = m_file.size();
        return Append::Written;
    }

    bool append(const QByteArray& bytes)
    {
        return m_file.seek(m_oldSize) && m_file.write(bytes) == bytes.size();
    }
    // Under the lock nobody has written since: back to the old size loses no one's line.
    void takeBack()
    {
        m_file.resize(m_oldSize);
    }
    QFile& file()
    {
        return m_file;
    }
    qint64 oldSize() const
    {
        return m_oldSize;
    }

private:
#ifdef Q_OS_WIN
    std::unique_ptr<QLockFile> m_lock; // let go of after the file is closed
#endif
    QFile m_file;
    qint64 m_oldSize = 0;
};

} // namespace

Append appendAll(const QVector<FileLine>& lines, int* failedIndex)
{
    std::vector<std::unique_ptr<HeldFile>> held;
    for (int i = 0; i < lines.size(); ++i) {
        held.push_back(std::make_unique<HeldFile>(lines[i].path));
        HeldFile& file = *held.back();
        Append result = file.open(lines[i].header);
        if (result == Append::Written && !file.append(lines[i].line)) {
            result = Append::NotWritten;
            file.takeBack();
        }
        if (result != Append::Written) {
            held.pop_back();
            // A key line without its MAC line would be taken for the device's record.
            for (const auto& earlier : held)
                earlier->takeBack();
            if (failedIndex)
                *failedIndex = i;
            return result;
        }
    }
    return Append::Written;
}

bool appendShared(const QString& path, const QByteArray& line)
{
    HeldFile held(path);
    if (held.open(QByteArray()) != Append::Written)
        return false;
    QFile& file = held.file();
    QByteArray bytes = line;
    const qint64 size = held.oldSize();
    if (size > 0 && (!file.seek(size - 1) || file.read(1) != "\n"))
        bytes.prepend('\n');
    if (held.append(bytes))
        return true;
    held.takeBack();
    return false;
}

AppendBlocker appendBlocker(const QString& path)
{
    const QFileInfo info(path);
    if (!info.dir().exists())
        return AppendBlocker::NoFolder;
    // A link that leads nowhere would have the open create its target.
    if (info.isSymLink() && !info.exists())
        return AppendBlocker::NotAppendable;
    if (info.exists()) {
        QFile file(path);
        if (!openRegularFile(file, kAppend))
            return AppendBlocker::NotAppendable;
    } else if (!QFileInfo(info.path()).isWritable()) {
        return AppendBlocker::NotAppendable;
    }
    const QStorageInfo storage(info.path());
    if (storage.isValid() && storage.bytesAvailable() >= 0 &&
        storage.bytesAvailable() < kMinFreeBytes)
        return AppendBlocker::DiskFull;
    return AppendBlocker::None;
}

void failWritesPastFileSizeLimit()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}
