#include "system_ports.h"

#include <QElapsedTimer>
#include <QMutex>

#include "serial_registry_watch.h"

// Qt's listing walks the whole device tree; a search would do that every 50 ms. It is repeated
// only after the serial-port registry key changed, and for a short while after each change, since
// the key can change before the port's USB details are in place.
QList<PortEntry> systemPorts()
{
    static QMutex mutex;
    static SerialRegistryWatch watch;
    static QList<PortEntry> cached;
    static QElapsedTimer sinceChange;
    constexpr qint64 kSettleMs = 2000;

    QMutexLocker lock(&mutex);
    if (watch.changed())
        sinceChange.start();
    if (sinceChange.isValid() && sinceChange.elapsed() < kSettleMs)
        cached = qtSerialPorts();
    return cached;
}
