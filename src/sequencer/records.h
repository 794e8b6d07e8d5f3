#pragma once
#include <QByteArray>
#include <QString>

// The station's two record files: every device that passes production leaves its public key in
// one and its MAC addresses in the other.
class RecordFiles
{
public:
    RecordFiles(const QString& publicKeysFile, const QString& macFile);

    // Each returns the red line that says why the record was not written; empty when it was.
    QString appendPublicKey(quint64 deviceId, const QByteArray& key) const;
    QString appendMacs(quint64 deviceId, const QByteArray& wifiMac,
                       const QByteArray& ethernetMac) const;

private:
    QString m_publicKeysFile;
    QString m_macFile;
};
