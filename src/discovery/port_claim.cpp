#include "port_claim.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QUrl>
#include <atomic>

namespace {

const QFileDevice::Permissions kEveryone = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                           QFileDevice::ReadOther | QFileDevice::WriteOther;

} // namespace

QString PortClaim::lockFolder()
{
    const QString folder = QDir::tempPath() + QStringLiteral("/veltora-ports");
    // Whoever makes the folder opens it to all, so that runs as root and as an ordinary user
    // see each other's locks.
    if (QDir().mkdir(folder))
        QFile::setPermissions(folder, kEveryone | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                          QFileDevice::ExeOther);
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
{
    // Held for a whole run, however long: only a dead holder makes a lock stale.
    m_lock.setStaleLockTime(0);
}

PortClaim::~PortClaim()
{
    m_lock.unlock();
}

bool PortClaim::take()
{
    if (m_lock.isLocked())
        return true;
    if (m_lock.tryLock(0)) {
        // Another user's run must be able to take the lock over once this process has died.
        QFile::setPermissions(m_path, kEveryone);
        return true;
    }
    if (m_lock.error() == QLockFile::LockFailedError)
        return false;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        qDebug() << "Ports are not held against other runs: cannot lock" << m_path;
    return true;
}
