#include "system_ports.h"

// Platforms without a cheaper way: Qt's listing at every call.
QList<PortEntry> systemPorts()
{
    return qtSerialPorts();
}
