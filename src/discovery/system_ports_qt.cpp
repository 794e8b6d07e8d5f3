#include "system_ports.h"

#include <QSerialPortInfo>

// Qt's own listing: a walk over every port the system knows, with its USB vendor id.
QList<PortEntry> qtSerialPorts()
{
    QList<PortEntry> entries;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : ports) {
        PortEntry entry;
        entry.name = info.portName();
        entry.hasVendorId = info.hasVendorIdentifier();
        entry.vendorId = entry.hasVendorId ? info.vendorIdentifier() : 0;
        // Qt tells no hub port path; the serial number is what tells two devices apart there.
        entry.serialNumber = info.serialNumber();
        entries.append(entry);
    }
    return entries;
}
