#include <QFileInfo>

#include "host_check_system.h"

// Windows has no port groups, no udev and no ModemManager: the port lines above say whether this
// account may open each port.
void checkSystem(const HostCheckSettings&, QList<Finding>&)
{}

// %TEMP% is the account's own, so the folder only needs to be writable.
Finding checkLockFolder(const QString& folder)
{
    Finding f;
    const QFileInfo info(folder);
    f.text = QStringLiteral("Lock folder ") + folder;
    if (!info.exists()) {
        f.text += QStringLiteral(": ok, the first run makes it");
    } else if (!info.isDir() || !info.isWritable()) {
        f.level = Finding::Level::Problem;
        f.text += QStringLiteral(": not a folder this account may write; remove it");
    } else {
        f.text += QStringLiteral(": ok");
    }
    return f;
}

QString installedCommanderPlace()
{
    return QStringLiteral("where the J-Link installer recorded it");
}
