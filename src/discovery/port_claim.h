#pragma once
#include <QString>

#include "file_lock.h"

// Holds a device port's name for one run, so that every other run on this PC (in this process
// or another) passes the port over, also while the device restarts and its port is away. A lock
// on a file per port name, which the system drops when its holder dies (Linux), or a lock file
// taken over from a holder that is gone (Windows).
class PortClaim
{
public:
    explicit PortClaim(const QString& port);
    ~PortClaim(); // lets go of the port

    PortClaim(const PortClaim&) = delete;
    PortClaim& operator=(const PortClaim&) = delete;

    // Held: another run holds the port. NoLock: the lock file cannot be made; runs are then kept
    // apart only by the exclusive open, and the caller says so.
    enum class Take { Taken, Held, NoLock };
    [[nodiscard]] Take take();
    const QString& port() const { return m_port; }
    const QString& lockPath() const { return m_path; }

    // "veltora-ports" in the system's temporary folder, shared by root and ordinary users; made
    // when missing, sticky as /tmp is, so that no account can remove another's lock.
    static QString lockFolder();
    // The same folder, neither made nor changed.
    static QString lockFolderPath();
    // A file name that is safe on every system, whatever the port name holds ("/", "\", ":")
    // and never a reserved device name on Windows ("COM5").
    static QString lockFileName(const QString& port);

private:
    QString m_port;
    QString m_path;
    FileLock m_lock;
    bool m_taken = false;
};
