#include "port_access.h"

#include <QByteArray>

#include "serial_line.h"

// Windows has no groups on COM ports: the only test is an open, which an open handle elsewhere
// refuses the same way.
PortAccess portAccess(const QString& port)
{
    PortAccess access;
    SerialLine line;
    access.mayOpen = line.open(port.toStdString()) ||
                     line.openFailure() != SerialLine::OpenFailure::AccessDenied;
    line.close();
    return access;
}

GroupMembership groupMembership(const QString&)
{
    return GroupMembership();
}

QString accountName()
{
    return qEnvironmentVariable("USERNAME");
}

bool permissionsApply()
{
    return true;
}

QString accessAdvice(const PortAccess&, const QString&)
{
    return QStringLiteral("close the program that has it open (a terminal, another station "
                          "program), or have an administrator give this account access to the "
                          "device");
}

QString accessDeniedLine(const QString& port, const PortAccess& access, const QString& user)
{
    return QStringLiteral("The port ") + port +
           QStringLiteral(" cannot be opened: access denied; ") + accessAdvice(access, user);
}
