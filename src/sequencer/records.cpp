#include "records.h"

#include <QFile>
#include <QFileInfo>

namespace {
// Append-only; bytes go unchanged, so the LF line ends stay LF on Windows too.
constexpr QIODevice::OpenMode kAppend = QIODevice::ReadWrite | QIODevice::Append;
} // namespace

Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line)
{
    const QFileInfo info(path);
    const bool existed = info.exists();
    QFile file(path);
    if ((existed && !info.isFile()) || !file.open(kAppend))
        return Append::NotOpened;
    const qint64 oldSize = file.size();
    Append result = Append::Written;
    if (!existed && !header.isEmpty() && file.write(header) != header.size())
        result = Append::HeaderNotWritten;
    // Buffered writes surface a full disk only when flushed, so the flush is part of the check.
    else if (file.write(line) != line.size() || !file.flush())
        result = Append::NotWritten;
    file.close();
    if (result == Append::Written && file.error() != QFileDevice::NoError)
        result = Append::NotWritten;
    if (result != Append::Written) {
        // A line cut short would spoil the file for every later reader: back to the old size,
        // or gone when this write created it.
        if (existed)
            file.resize(oldSize);
        else
            file.remove();
    }
    return result;
}

RecordFiles::RecordFiles(const QString& publicKeysFile, const QString& macFile)
    : m_publicKeysFile(publicKeysFile), m_macFile(macFile)
{
}

QString RecordFiles::appendPublicKey(quint64 deviceId, const QByteArray& key) const
{
    const QByteArray line = QByteArrayLiteral("{\"device_id\": ") + QByteArray::number(deviceId) +
                            QByteArrayLiteral(", \"key\": \"") + key.toBase64() +
                            QByteArrayLiteral("\"}\n");
    switch (appendWhole(m_publicKeysFile, QByteArray(), line)) {
    case Append::Written:
        return QString();
    case Append::NotOpened:
        return QStringLiteral("Public keys file opening error");
    default:
        return QStringLiteral("Public keys file writing error");
    }
}

QString RecordFiles::appendMacs(quint64 deviceId, const QByteArray& wifiMac,
                                const QByteArray& ethernetMac) const
{
    static const QByteArray header =
        QByteArrayLiteral("Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n");
    const QByteArray line =
        QByteArray::number(deviceId) + '\t' + wifiMac + '\t' + ethernetMac + '\n';
    switch (appendWhole(m_macFile, header, line)) {
    case Append::Written:
        return QString();
    case Append::NotOpened:
        return QStringLiteral("MAC file opening error");
    case Append::HeaderNotWritten:
        return QStringLiteral("MAC file header writing error");
    case Append::NotWritten:
        break;
    }
    return QStringLiteral("MAC file data writing error");
}
