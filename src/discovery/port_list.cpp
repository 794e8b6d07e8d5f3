#include "port_list.h"

#include "system_ports.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include "regular_file.h"

namespace {

// The USB vendor ids of a device's port: the product's own, and Nordic Semiconductor's, under
// which the device's nRF52840 may come up. Ports of other vendors are never opened: a probe would
// send bytes into someone else's equipment.
constexpr quint16 kVeltoraVendorId = 0x2C0D;
constexpr quint16 kNordicVendorId = 0x1915;

// Where Linux's udev keeps a link per serial port named after the hub port it sits on.
const char kByPathFolder[] = "/dev/serial/by-path";

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

// The file a port name stands for, links followed; empty when there is none now.
QString portFile(const QString& name)
{
    return QFileInfo(name.contains(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name)
        .canonicalFilePath();
}

// Takes the trailing "key=value" fields off a ports-file line: serial and location are kept,
// others are left for later versions.
void takeFields(QString& line, PortEntry& entry)
{
    for (;;) {
        int split = line.size() - 1;
        while (split >= 0 && !line.at(split).isSpace())
            --split;
        const QString field = line.mid(split + 1);
        const int eq = field.indexOf(QLatin1Char('='));
        if (split < 0 || eq <= 0)
            return;
        const QString key = field.left(eq);
        if (key == QLatin1String("serial"))
            entry.serialNumber = field.mid(eq + 1);
        else if (key == QLatin1String("location"))
            entry.location = field.mid(eq + 1);
        line = line.left(split).trimmed();
    }
}

// Extra ports from the file named by VELTORA_EXTRA_PORTS: "<name or path> <vendor id>" per line,
// optionally followed by "serial=<USB serial number>" and "location=<USB location>". Read afresh
// every time, since simulated devices plug in and out by editing it.
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
        QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        PortEntry entry;
        takeFields(line, entry);
        // The vendor id is the last field before them, so a path may contain blanks.
        int split = line.size() - 1;
        while (split >= 0 && !line.at(split).isSpace())
            --split;
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

QList<PortEntry> devicePortEntries()
{
    QList<PortEntry> devices;
    const QList<PortEntry> entries = availablePortEntries();
    for (const PortEntry& entry : entries) {
        if (entry.hasVendorId &&
            (entry.vendorId == kVeltoraVendorId || entry.vendorId == kNordicVendorId))
            devices.append(entry);
    }
    return devices;
}

void listDevicePorts(QStringList& ports)
{
    ports.clear();
    for (const PortEntry& entry : devicePortEntries())
        ports.append(entry.name);
}

QList<PortEntry> devicePortEntries(const QStringList& only, QStringList* askedAs)
{
    const QList<PortEntry> ports = devicePortEntries();
    if (askedAs)
        askedAs->clear();
    if (only.isEmpty()) {
        if (askedAs) {
            for (const PortEntry& port : ports)
                askedAs->append(port.name);
        }
        return ports;
    }
    // Each link is followed once per listing: a restarted unit may be behind it under a new name.
    QList<QString> files;
    for (const QString& name : only)
        files.append(name.contains(QLatin1Char('/')) ? portFile(name) : QString());
    QList<PortEntry> kept;
    for (const PortEntry& port : ports) {
        QString file;
        for (int i = 0; i < only.size(); ++i) {
            if (port.name != only.at(i)) {
                // A bare name (COM5, ttyACM0) is no link: it is compared as it is.
                if (files.at(i).isEmpty())
                    continue;
                if (file.isEmpty())
                    file = portFile(port.name);
                if (file != files.at(i))
                    continue;
            }
            kept.append(port);
            if (askedAs)
                askedAs->append(only.at(i));
            break;
        }
    }
    return kept;
}

QString stablePortName(const QString& port)
{
    const QString file = portFile(port);
    if (file.isEmpty())
        return port;
    const QFileInfoList links =
        QDir(QLatin1String(kByPathFolder))
            .entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& link : links) {
        if (link.canonicalFilePath() == file)
            return link.absoluteFilePath();
    }
    return port;
}
