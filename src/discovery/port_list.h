#pragma once
#include <QList>
#include <QString>
#include <QStringList>

// One serial port as discovery sees it: its name (or path) and its USB vendor id.
struct PortEntry
{
    QString name;
    bool hasVendorId = false;
    quint16 vendorId = 0;
};

// Every port: the system's (systemPorts()) followed, in file order, by the extra ports of the
// file named by VELTORA_EXTRA_PORTS (read afresh at each call).
QList<PortEntry> availablePortEntries();

// The names of the device ports (vendor id 0x2C0D or 0x1915), in listing order.
void listDevicePorts(QStringList& ports);
