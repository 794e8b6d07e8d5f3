#include "port_list.h"

#include "system_ports.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include "regular_file.h"

namespace {

// A ports file holds a handful of lines; anything larger is not one.
constexpr qint64 kMaxExtraPortsBytes = 64 * 1024;

// "0x2c0d" / "0X2C0D" in hex, anything else in decimal; only values that fit 16 bits.
bool parseVendorId(const QString& text, quint16& vendorId)
{
    bool ok = false;
    uint value = 0;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value = text.mid(2).toUInt(&ok, 16);
    else
        value = text.toUInt(&ok, 10);
    if (!ok || value > 0xFFFF)
        return false;
    vendorId = static_cast<quint16>(value);
    return true;
}

// Extra ports from the file named by VELTORA_EXTRA_PORTS: "<name or path> <vendor id>" per line.
// Read afresh every time, since simulated devices plug in and out by editing it.
void appendExtraPorts(QList<PortEntry>& entries)
{
    const QString fileName = qEnvironmentVariable("VELTORA_EXTRA_PORTS");
    if (fileName.isEmpty())
        return;
    // Not yet written by the simulated device is normal and passes silently. Anything but a
    // regular file is skipped unopened: a FIFO would hold the search, /dev/zero exhaust memory.
    QFile file(fileName);
    if (!openRegularFile(file)) {
        if (QFileInfo::exists(fileName))
            qDebug() << "Extra ports: skipping" << fileName << "(not a readable regular file)";
        return;
    }
    const QByteArray content = file.read(kMaxExtraPortsBytes + 1);
    if (content.size() > kMaxExtraPortsBytes) {
        qDebug() << "Extra ports: skipping" << fileName << "(larger than" << kMaxExtraPortsBytes
                 << "bytes)";
        return;
    }
    const QList<QByteArray> lines = content.split('\n');
    int lineNumber = 0;
    for (const QByteArray& raw : lines) {
        ++lineNumber;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        // The vendor id is the last field, so a path may contain blanks.
        int split = line.size() - 1;
        while (split >= 0 && !line.at(split).isSpace())
            --split;
        PortEntry entry;
        if (split < 0 || !parseVendorId(line.mid(split + 1), entry.vendorId)) {
            qDebug() << "Extra ports: skipping malformed line" << lineNumber << "of" << fileName;
            continue;
        }
        entry.name = line.left(split).trimmed();
        entry.hasVendorId = true;
        entries.append(entry);
    }
}

} // namespace

QList<PortEntry> availablePortEntries()
{
    QList<PortEntry> entries = systemPorts();
    appendExtraPorts(entries);
    return entries;
}

void listDevicePorts(QStringList& ports)
{
    ports.clear();
    const QList<PortEntry> entries = availablePortEntries();
    for (const PortEntry& entry : entries) {
        if (entry.hasVendorId && (entry.vendorId == 0x2C0D || entry.vendorId == 0x1915))
            ports.append(entry.name);
    }
}
