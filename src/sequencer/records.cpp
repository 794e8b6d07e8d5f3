#include "records.h"

#include "append_file.h"

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
