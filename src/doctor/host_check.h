#pragma once
#include <QList>
#include <QString>

// What stands between this PC and a run, one thing at a time: the station folder and its files,
// the J-Link commander, the device ports and this account's access to them, and the system's
// set-up for the devices (groups, udev rule, ModemManager, the folder of port locks).
struct Finding
{
    // Ok: fine. Note: worth knowing, but no run fails for it. Problem: a run would fail.
    enum class Level { Ok, Note, Problem };
    Finding() = default;
    Finding(Level l, const QString& t) : level(l), text(t) {}
    Level level = Level::Ok;
    // "<what>: ok ..." or "<what>: <the problem>; <what to do>".
    QString text;
};

struct HostCheckSettings
{
    QString stationDir; // --station-dir; empty: the default station folder
    // Prefix of the system's own files (/usr/lib/udev, /etc/udev, /proc): empty for this
    // system, a made-up tree for a test.
    QString systemRoot;
    int commanderTimeoutMs = 10000;
};

// Runs every check; chooses the station folder as a run would and makes it the current one.
QList<Finding> checkHost(const HostCheckSettings& settings);
int problemCount(const QList<Finding>& findings);
