#pragma once
#include <QLockFile>
#include <QString>

// Holds a device port's name for one run, so that every other run on this PC (in this process
// or another) passes the port over, also while the device restarts and its port is away. An
// advisory lock file per port name; a lock left behind by a process that died is taken over.
class PortClaim
{
public:
    explicit PortClaim(const QString& port);
    ~PortClaim(); // lets go of the port

    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    // False when another run holds the port. When the lock folder cannot be used at all, runs
    // are kept apart only by the exclusive open, and this is true.
    bool take();
    const QString& port() const { return m_port; }

    // "veltora-ports" in the system's temporary folder, shared by root and ordinary users.
    static QString lockFolder();
    // A file name that is safe on every system, whatever the port name holds ("/", "\", ":")
    // and never a reserved device name on Windows ("COM5").
    static QString lockFileName(const QString& port);

private:
    QString m_port;
    QString m_path;
    QLockFile m_lock;
};
