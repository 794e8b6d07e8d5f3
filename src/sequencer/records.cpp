#include "flashing.h"

#include <QFile>
#include <QFileInfo>

#include "logger.h"
#include "station.h"
#include "usb_cdc_protocol.h"

namespace {
// Append-only; bytes go unchanged, so the LF line ends stay LF on Windows too.
constexpr QIODevice::OpenMode kAppend = QIODevice::ReadWrite | QIODevice::Append;

// A record goes only into a regular file, or a new one: a FIFO could block the open and a link to
// a device would swallow the line while the run reported it written.
bool takesRecords(const QString& path)
{
    const QFileInfo info(path);
    return !info.exists() || info.isFile();
}

// Buffered writes surface a full disk only when flushed, so the flush is part of the check.
bool flushAndClose(QFile& file)
{
    const bool flushed = file.flush();
    file.close();
    return flushed && file.error() == QFileDevice::NoError;
}

// A line cut short by a full disk would spoil the log for every later reader, so a failed write
// leaves the file as it was: cut back to its old size, or gone when this write created it.
void undoWrite(QFile& file, qint64 oldSize, bool existed)
{
    file.close();
    if (existed)
        file.resize(oldSize);
    else
        file.remove();
}
} // namespace

bool Flashing_c::writePublicKeyRecord(quint64 deviceId, const QByteArray& key)
{
    QFile file(stationDir() + m_folder + QStringLiteral("../") +
               QStringLiteral("/Keys/public_keys.json"));
    const bool existed = file.exists();
    if (!takesRecords(file.fileName()) || !file.open(kAppend)) {
        failRun(QStringLiteral("Public keys file opening error"), true);
        return false;
    }
    const qint64 oldSize = file.size();

    const QByteArray line = QByteArrayLiteral("{\"device_id\": ") + QByteArray::number(deviceId) +
                            QByteArrayLiteral(", \"key\": \"") + key.toBase64() +
                            QByteArrayLiteral("\"}\n");
    const bool written = file.write(line) == line.size();
    if (!flushAndClose(file) || !written) {
        undoWrite(file, oldSize, existed);
        failRun(QStringLiteral("Public keys file writing error"), true);
        return false;
    }

    m_logger->logWithLabel(QStringLiteral("The public key has been read successfully"), 4);
    return true;
}

bool Flashing_c::writeMacRecord(quint64 deviceId, const char* wifiMac, const char* ethernetMac)
{
    const QString path =
        stationDir() + m_folder + QStringLiteral("../") + QStringLiteral("/MAC/MACs.txt");
    // The header goes only into a file that did not exist, not into an empty one.
    const bool existed = QFile::exists(path);
    QFile file(path);

    QString failure;
    if (!takesRecords(path) || !file.open(kAppend)) {
        failure = QStringLiteral("MAC file opening error");
    } else {
        const qint64 oldSize = file.size();
        static const QByteArray header =
            QByteArrayLiteral("Device_ID_\t____WiFi_MAC_____\t__Ethernet_MAC___\n");
        if (!existed && file.write(header) != header.size()) {
            failure = QStringLiteral("MAC file header writing error");
        } else {
            const QByteArray line = QByteArray::number(deviceId) + '\t' + QByteArray(wifiMac) +
                                    '\t' + QByteArray(ethernetMac) + '\n';
            const bool written = file.write(line) == line.size();
            if (!flushAndClose(file) || !written)
                failure = QStringLiteral("MAC file data writing error");
        }
        if (!failure.isEmpty())
            undoWrite(file, oldSize, existed);
    }
    if (failure.isEmpty())
        return true;

    file.close();
    failRun(failure, true);
    return false;
}
