#include "port_claim.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QUrl>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QFileDevice::Permissions kEveryone = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                           QFileDevice::ReadOther | QFileDevice::WriteOther;

// Open to all, so that runs as root and as an ordinary user see each other's locks, and sticky,
// so that only a lock's owner removes it. A folder made before runs set the sticky bit gets it
// from its owner's next run.
void shareFolder(const QString& folder, bool made)
{
#ifdef Q_OS_UNIX
    const QByteArray path = QFile::encodeName(folder);
    struct stat st;
    if (made || (::stat(path.constData(), &st) == 0 && st.st_uid == geteuid() &&
                 (st.st_mode & 01777) != 01777))
        ::chmod(path.constData(), 01777);
#else
    if (made)
        QFile::setPermissions(folder, kEveryone | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                          QFileDevice::ExeOther);
#endif
}

} // namespace

QString PortClaim::lockFolderPath()
{
    return QDir::tempPath() + QStringLiteral("/veltora-ports");
}

QString PortClaim::lockFolder()
{
    const QString folder = lockFolderPath();
    shareFolder(folder, QDir().mkdir(folder));
    return folder;
}

QString PortClaim::lockFileName(const QString& port)
{
    QByteArray name = QUrl::toPercentEncoding(port);
    // Far below any file system's name limit, also with the prefix and suffix.
    if (name.size() > 160)
        name = QCryptographicHash::hash(port.toUtf8(), QCryptographicHash::Sha1).toHex();
    return QStringLiteral("port-") + QString::fromLatin1(name) + QStringLiteral(".lock");
}

PortClaim::PortClaim(const QString& port)
    : m_port(port), m_path(lockFolder() + QLatin1Char('/') + lockFileName(port)), m_lock(m_path)
{}

PortClaim::~PortClaim() = default;

PortClaim::Take PortClaim::take()
{
    if (m_taken)
        return Take::Taken;
    if (m_lock.lock(0)) {
        // Another account's run must be able to lock the file once this run has ended.
        QFile::setPermissions(m_path, kEveryone);
        m_taken = true;
        return Take::Taken;
    }
    if (m_lock.heldElsewhere())
        return Take::Held;
    qDebug() << "Ports are not held against other runs: cannot lock" << m_path;
    return Take::NoLock;
}
