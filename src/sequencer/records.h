#pragma once
#include <QByteArray>
#include <QString>

// The station's two record files: every device that passes production leaves its public key in
// one and its MAC addresses in the other.
class RecordFiles
{
public:
    RecordFiles(const QString& publicKeysFile, const QString& macFile);

    // The red line that says why the records could not be written now, naming the path; empty
    // when both files can take their line. Writes nothing.
    QString blocker() const;
    // Appends the device's public key line and its MAC line, both or neither: a key line without
    // its MAC line would be taken for the record of a device that has none. Returns the red line
    // that says why they were not written; empty when they were.
    QString append(quint64 deviceId, const QByteArray& key, const QByteArray& wifiMac,
                   const QByteArray& ethernetMac) const;

    // Why a line cannot be appended to the file now, naming the path; empty when it can.
    static QString whyNotAppendable(const QString& path);

private:
    QString m_publicKeysFile;
    QString m_macFile;
};
