#pragma once
#include <QList>
#include <QString>
#include <QStringList>

// One serial port as discovery sees it: its name (or path), its USB vendor id and, where known,
// what tells one device from another: its USB serial number and its USB location (the hub port
// path, such as "1-1.4").
struct PortEntry
{
    QString name;
    bool hasVendorId = false;
    quint16 vendorId = 0;
    QString serialNumber; // empty: unknown
    QString location;     // empty: unknown
};

// Every port: the system's (systemPorts()) followed, in file order, by the extra ports of the
// file named by VELTORA_EXTRA_PORTS (read afresh at each call).
QList<PortEntry> availablePortEntries();

// The device ports (vendor id 0x2C0D or 0x1915), in listing order.
QList<PortEntry> devicePortEntries();
// Their names.
void listDevicePorts(QStringList& ports);

// The device ports among the ports named, in listing order; every device port when none are
// named. A name with a path may be a link (such as /dev/serial/by-path/..., which names a hub
// port): a port behind it counts, as the links stand at this listing, so the name follows its
// unit across restarts. askedAs, when given, receives the name each port was found under.
QList<PortEntry> devicePortEntries(const QStringList& only, QStringList* askedAs = nullptr);
// A name that stays with the port's place when its unit restarts: the /dev/serial/by-path link
// that leads to it where the system has one, else its own name.
QString stablePortName(const QString& port);
