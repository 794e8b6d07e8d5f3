#pragma once
#include <QString>

// Whether this account may open a device port, and what the operator can do when it may not.
// One file per platform: POSIX reads the port's owner group and mode and the account's groups;
// Windows has neither.
struct PortAccess
{
    bool mayOpen = true;        // the system's permission check for reading and writing
    QString group;              // the port's group; empty when unknown or root's own
    bool groupMayOpen = false;  // the group's mode bits allow reading and writing
    bool inGroupNow = false;    // this process holds the group
    bool inGroupListed = false; // the group database lists the account: its next login holds it
};
PortAccess portAccess(const QString& port);

// The account's membership of a group: whether the group exists, whether this process holds it,
// whether the group database lists the account.
struct GroupMembership
{
    bool exists = false;
    bool now = false;
    bool listed = false;
};
GroupMembership groupMembership(const QString& group);

// This account's name, and whether permissions stop it at all (root on POSIX).
QString accountName();
bool permissionsApply();

// What the operator can do about a port this account may not open.
QString accessAdvice(const PortAccess& access, const QString& user);
// The search's line for a port the system refused for lack of permission: the port, the reason
// and what to do.
QString accessDeniedLine(const QString& port, const PortAccess& access, const QString& user);
