#pragma once
#include <QList>
#include <QString>

#include "port_list.h"

// The system's serial ports with their USB vendor ids, as cheaply as the platform allows, since
// a device search lists them every 50 ms while it waits.
QList<PortEntry> systemPorts();

// Qt's listing (QSerialPortInfo), the same on every platform.
QList<PortEntry> qtSerialPorts();

// Linux: the ttys under <sysRoot>/class/tty that sit on a device (virtual ones are left out),
// sorted by name, each with the idVendor of the USB device above it when there is one.
QList<PortEntry> sysfsPorts(const QString& sysRoot);
