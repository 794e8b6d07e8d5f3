#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "host_check_system.h"
#include "port_access.h"

namespace {

// The group the package's udev rule gives the devices' ports.
const QString kPortGroup = QStringLiteral("dialout");

Finding checkGroups()
{
    const QString name = QStringLiteral("Operator's groups: ");
    if (!permissionsApply())
        return Finding(Finding::Level::Ok, name + QStringLiteral("ok, root opens every port"));
    const QString user = accountName();
    const GroupMembership member = groupMembership(kPortGroup);
    if (!member.exists)
        return Finding(Finding::Level::Problem,
                       name +
                           QStringLiteral("this system has no dialout group, which the udev rule "
                                          "gives the devices' ports; sudo groupadd --system "
                                          "dialout"));
    if (member.now)
        return Finding(Finding::Level::Ok, name + QStringLiteral("ok, ") + user +
                                               QStringLiteral(" is in the dialout group"));
    if (member.listed)
        return Finding(Finding::Level::Problem,
                       name + user +
                           QStringLiteral(" joined the dialout group after logging in; log "
                                          "out and in again"));
    return Finding(Finding::Level::Problem,
                   name + user +
                       QStringLiteral(" is not in the dialout group, which the udev rule "
                                      "gives the devices' ports; sudo usermod -aG dialout ") +
                       user + QStringLiteral(", then log out and in again"));
}

// As udev reads its rules: a file in /etc/udev/rules.d hides one of the same name in the
// system's folder.
QString installedRule(const QString& root)
{
    for (const char* folder : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
        const QString path = QLatin1String(folder) + QStringLiteral("/85-veltora.rules");
        if (QFileInfo::exists(root + path))
            return path;
    }
    return QString();
}

bool modemManagerRuns(const QString& root)
{
    const QDir proc(root + QStringLiteral("/proc"));
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        pid.toUInt(&number);
        if (!number)
            continue;
        QFile comm(proc.filePath(pid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "ModemManager")
            return true;
    }
    return false;
}

} // namespace

void checkSystem(const HostCheckSettings& settings, QList<Finding>& findings)
{
    findings << checkGroups();

    const QString root = settings.systemRoot;
    const QString rule = installedRule(root);
    bool ruleKeepsAway = false;
    if (rule.isEmpty()) {
        findings << Finding(Finding::Level::Problem,
                            QStringLiteral("udev rule: no 85-veltora.rules in /etc/udev/rules.d or "
                                           "/usr/lib/udev/rules.d; install the veltora package, or "
                                           "copy packaging/linux/85-veltora.rules into "
                                           "/etc/udev/rules.d and run sudo udevadm control "
                                           "--reload-rules && sudo udevadm trigger"));
    } else {
        QFile file(root + rule);
        const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        ruleKeepsAway = text.contains("ATTRS{idVendor}==\"2c0d\"") &&
                        text.contains("ATTRS{idVendor}==\"1915\"") &&
                        text.contains("ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
        const bool grouped = text.contains("GROUP=\"dialout\"");
        if (ruleKeepsAway && grouped)
            findings << Finding(Finding::Level::Ok,
                                QStringLiteral("udev rule ") + rule + QStringLiteral(": ok"));
        else
            findings << Finding(
                Finding::Level::Problem,
                QStringLiteral("udev rule ") + rule +
                    QStringLiteral(": does not give the ports of both vendor ids to "
                                   "dialout and keep ModemManager away; replace it "
                                   "with the package's"));
    }

    if (!modemManagerRuns(root))
        findings << Finding(Finding::Level::Ok, QStringLiteral("ModemManager: ok, not running"));
    else if (ruleKeepsAway)
        findings << Finding(
            Finding::Level::Ok,
            QStringLiteral("ModemManager: ok, runs, and the udev rule keeps it away "
                           "from the devices' ports"));
    else
        findings << Finding(
            Finding::Level::Problem,
            QStringLiteral("ModemManager: runs and probes every new serial port with "
                           "AT commands, and no udev rule keeps it away; install "
                           "the rule, or stop it: sudo systemctl disable --now "
                           "ModemManager"));
}

Finding checkLockFolder(const QString& folder)
{
    const QString name = QStringLiteral("Lock folder ") + folder;
    const QByteArray path = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(path.constData(), &st) != 0) {
        const QString parent = QFileInfo(folder).path();
        if (errno == ENOENT && ::access(QFile::encodeName(parent).constData(), W_OK | X_OK) == 0)
            return Finding(Finding::Level::Ok,
                           name + QStringLiteral(": ok, the first run makes it"));
        return Finding(Finding::Level::Problem,
                       name + QStringLiteral(": missing, and this account may not make it in ") +
                           parent + QStringLiteral("; set TMPDIR to a folder it may write"));
    }
    if (!S_ISDIR(st.st_mode))
        return Finding(Finding::Level::Problem,
                       name +
                           QStringLiteral(": is no folder, so no run can hold a port; remove it: "
                                          "sudo rm ") +
                           folder);
    if ((st.st_mode & 01777) != 01777)
        return Finding(Finding::Level::Problem,
                       name +
                           QStringLiteral(": mode %1 instead of 1777 (sticky and open to every "
                                          "account), so a run's lock can be removed by another "
                                          "account, or runs of some accounts cannot lock; sudo "
                                          "chmod 1777 ")
                               .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')) +
                           folder);
    if (::access(path.constData(), W_OK | X_OK) != 0)
        return Finding(Finding::Level::Problem,
                       name +
                           QStringLiteral(": this account may not make a lock in it (a read-only "
                                          "file system?); set TMPDIR to a folder it may write"));
    return Finding(Finding::Level::Ok,
                   name + QStringLiteral(": ok, sticky and open to every account"));
}

QString installedCommanderPlace()
{
    return QStringLiteral("on the PATH");
}
