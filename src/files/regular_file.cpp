#include "regular_file.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool openRegularFile(QFile& file, QIODevice::OpenMode mode)
{
    const bool append = mode & QIODevice::Append;
#ifdef Q_OS_UNIX
    // Non-blocking, so a FIFO without a writer opens at once; fstat then judges what was really
    // opened, not what the name pointed at a moment earlier.
    const int flags = append ? O_RDWR | O_APPEND | O_CREAT : O_RDONLY;
    const int fd =
        ::open(QFile::encodeName(file.fileName()).constData(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#else
    const QFileInfo info(file.fileName());
    return (info.isFile() || (append && !info.exists())) && file.open(mode);
#endif
}
