#include "port_access.h"

#include <QFile>
#include <QVarLengthArray>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// As the serial line finds a port: a name without "/" lives under /dev/.
QByteArray devicePath(const QString& port)
{
    return QFile::encodeName(port.contains(QLatin1Char('/')) ? port
                                                             : QStringLiteral("/dev/") + port);
}

bool heldNow(gid_t gid)
{
    if (getegid() == gid)
        return true;
    const int n = getgroups(0, nullptr);
    QVarLengthArray<gid_t, 64> groups(n > 0 ? n : 1);
    const int got = getgroups(groups.size(), groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[i] == gid)
            return true;
    }
    return false;
}

bool listedFor(gid_t gid)
{
    const passwd* pw = getpwuid(geteuid());
    if (!pw)
        return false;
    const QByteArray name(pw->pw_name);
    int n = 64;
    QVarLengthArray<gid_t, 64> groups(n);
    if (getgrouplist(name.constData(), pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(n);
        if (getgrouplist(name.constData(), pw->pw_gid, groups.data(), &n) < 0)
            return false;
    }
    for (int i = 0; i < n; ++i) {
        if (groups[i] == gid)
            return true;
    }
    return false;
}

} // namespace

PortAccess portAccess(const QString& port)
{
    PortAccess access;
    const QByteArray path = devicePath(port);
    access.mayOpen = ::access(path.constData(), R_OK | W_OK) == 0;
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || st.st_gid == 0)
        return access;
    if (const group* gr = getgrgid(st.st_gid))
        access.group = QString::fromLocal8Bit(gr->gr_name);
    access.groupMayOpen = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    access.inGroupNow = heldNow(st.st_gid);
    access.inGroupListed = listedFor(st.st_gid);
    return access;
}

GroupMembership groupMembership(const QString& name)
{
    GroupMembership membership;
    const group* gr = getgrnam(QFile::encodeName(name).constData());
    if (!gr)
        return membership;
    const gid_t gid = gr->gr_gid;
    membership.exists = true;
    membership.now = heldNow(gid);
    membership.listed = listedFor(gid);
    return membership;
}

QString accountName()
{
    const passwd* pw = getpwuid(geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(geteuid());
}

bool permissionsApply()
{
    return geteuid() != 0;
}

QString accessAdvice(const PortAccess& access, const QString& user)
{
    if (access.group.isEmpty() || !access.groupMayOpen)
        return QStringLiteral("its permissions let no group of operators in: install the station "
                              "package's udev rule (README, \"Setting up a station PC\")");
    if (access.inGroupListed && !access.inGroupNow)
        return user + QStringLiteral(" joined the ") + access.group +
               QStringLiteral(" group after logging in: log out and in again");
    return QStringLiteral("add the operator to the ") + access.group +
           QStringLiteral(" group: sudo usermod -aG ") + access.group + QLatin1Char(' ') + user +
           QStringLiteral(", then log out and in again");
}

QString accessDeniedLine(const QString& port, const PortAccess& access, const QString& user)
{
    return QStringLiteral("The port ") + port +
           QStringLiteral(" cannot be opened: permission denied; ") + accessAdvice(access, user);
}
