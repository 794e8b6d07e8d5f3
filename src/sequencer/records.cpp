#include "records.h"

#include <QDir>
#include <QFileInfo>

#include "append_file.h"

RecordFiles::RecordFiles(const QString& publicKeysFile, const QString& macFile)
    : m_publicKeysFile(publicKeysFile), m_macFile(macFile)
{
}

QString RecordFiles::whyNotAppendable(const QString& path)
{
    // The station's paths carry "..//"; the operator is shown where the file really is.
    const QString file = QDir::cleanPath(path);
    const QString folder = QFileInfo(file).path();
    switch (appendBlocker(path)) {
    case AppendBlocker::None:
        return QString();
    case AppendBlocker::NoFolder:
        return QStringLiteral("no folder ") + folder;
    case AppendBlocker::NotAppendable:
        return file + QStringLiteral(" cannot be appended to");
    case AppendBlocker::DiskFull:
        break;
    }
    return QStringLiteral("no room on the disk of ") + folder;
}

QString RecordFiles::blocker() const
{
    QString why = whyNotAppendable(m_publicKeysFile);
    if (!why.isEmpty())
        return QStringLiteral("Public keys file opening error: ") + why;
    why = whyNotAppendable(m_macFile);
    if (!why.isEmpty())
        return QStringLiteral("MAC file opening error: ") + why;
    return QString();
}

QString RecordFiles::append(quint64 deviceId, const QByteArray& key, const QByteArray& wifiMac,
                            const QByteArray& ethernetMac) const
{
    static const QByteArray header =
        QByteArrayLiteral("Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n");
    const QByteArray keyLine = QByteArrayLiteral("{\"device_id\": ") +
                               QByteArray::number(deviceId) + QByteArrayLiteral(", \"key\": \"") +
                               key.toBase64() + QByteArrayLiteral("\"}\n");
    const QByteArray macLine =
        QByteArray::number(deviceId) + '\t' + wifiMac + '\t' + ethernetMac + '\n';
    // Always the key file first: writers that lock in one order never wait on each other.
    int failed = 0;
    const Append result = appendAll(
        {{m_publicKeysFile, QByteArray(), keyLine}, {m_macFile, header, macLine}}, &failed);
    switch (result) {
    case Append::Written:
        return QString();
    case Append::NotOpened:
        return failed == 0 ? QStringLiteral("Public keys file opening error")
                           : QStringLiteral("MAC file opening error");
    case Append::HeaderNotWritten:
        return QStringLiteral("MAC file header writing error");
    case Append::NotWritten:
        break;
    }
    return failed == 0 ? QStringLiteral("Public keys file writing error")
                       : QStringLiteral("MAC file data writing error");
}
