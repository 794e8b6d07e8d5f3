#pragma once
#include <QByteArray>
#include <QString>

// How an append to an append-only file ended. A line is written whole or not at all.
enum class Append { Written, NotOpened, HeaderNotWritten, NotWritten };

// Appends line to the file, and header first when the file did not exist (not merely empty). Only
// a regular file, or a new one, is written: a FIFO could block the open and a link to a device
// would swallow the line. A write cut short (a full disk) is undone.
Append appendWhole(const QString& path, const QByteArray& header, const QByteArray& line);

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
