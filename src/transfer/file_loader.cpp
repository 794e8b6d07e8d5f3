#include "file_loader.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

#include "cdc_commands.h"
#include "logger.h"
#include "regular_file.h"
#include "usb_cdc_protocol.h"

const QList<QPair<QString, QString>> fileNameSubstitutions = {
    {QStringLiteral("system.bin"), QStringLiteral("nRF_Update_c.bin")},
    {QStringLiteral("drivers.bin"), QStringLiteral("ESP_Update_c.bin")},
    {QStringLiteral("interface.bin"), QStringLiteral("NRF_Bootloader_c.bin")},
};

namespace {
constexpr qint64 kChunk = 512;
// Offsets and the size travel as 32-bit values.
constexpr qint64 kMaxFileSize = 0xFFFFFFFFll;
} // namespace

QString downloadLocalName(const QString& fileName)
{
    const QString baseName = fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
    for (const auto& substitution : fileNameSubstitutions) {
        if (substitution.first == baseName)
            return substitution.second;
    }
    return baseName;
}

QString downloadDevicePath(const QString& fileName, bool isUpdate)
{
    const QString localName = downloadLocalName(fileName);
    return isUpdate ? QStringLiteral("Updates/") + localName : localName;
}

bool goesToUpdates(const QString& listedName)
{
    return listedName.contains(QLatin1String("bin"));
}

bool devicePathFits(const QString& devicePath)
{
    return size_t(devicePath.toUtf8().size()) < cdc::kEspNameField;
}

QString nameTooLongMessage(const QString& name)
{
    return QStringLiteral("The file name is too long for the device: ") + name;
}

FileLoader_c::FileLoader_c(cUSB_CDC_Protocol* protocol, const QList<FlashFileEntry>& files,
                           const QString& flashFolder, Logger_c* logger)
    : QObject(nullptr),
      m_protocol(protocol),
      m_files(files),
      m_generalAccess(false),
      m_flashFolder(flashFolder),
      m_logger(logger)
{
}

FileLoader_c::FileLoader_c(cUSB_CDC_Protocol* protocol, const QList<FlashFileEntry>& files,
                           const QString& readFolder, quint16 readSelector, Logger_c* logger)
    : QObject(nullptr),
      m_protocol(protocol),
      m_files(files),
      m_readFolder(readFolder),
      m_readSelector(readSelector),
      m_generalAccess(true),
      m_logger(logger)
{
}

void FileLoader_c::doWork()
{
    m_lastRunSucceeded = false;
    m_transferred.clear();
    if (m_generalAccess) {
        qDebug() << "General access instance is created";
        return;
    }
    qDebug() << "Flasher started";

    for (int i = 0; i < m_files.size(); ++i) {
        qDebug() << "File #" << i;
        const FlashFileEntry& entry = m_files.at(i);
        // An empty name ends the list.
        if (entry.fileName.isEmpty())
            break;
        if (downloadFile(entry.fileName, entry.isUpdate != 0)) {
            emit sigFinish();
            return;
        }
    }
    m_logger->logWithLabel(QStringLiteral("Firmware downloding is complete"), LogColour::Green);
    m_lastRunSucceeded = true;
    emit sigFinish();
}

bool FileLoader_c::downloadFile(const QString& fileName, bool isUpdate)
{
    if (!m_protocol->portOpen()) {
        m_logger->logWithLabel(QStringLiteral("No COM port open"), LogColour::Red);
        return true;
    }

    const QString baseName = fileName.mid(fileName.lastIndexOf(QLatin1Char('/')) + 1);
    const QString devicePath = downloadDevicePath(fileName, isUpdate);

    m_logger->logWithLabel(QStringLiteral("File for flashing: Updates/") + baseName,
                           LogColour::Black);
    // The list check refuses such a name already; this keeps a cut path off the device whoever
    // builds the list.
    if (!devicePathFits(devicePath)) {
        m_logger->logWithLabel(nameTooLongMessage(devicePath), LogColour::Red);
        return true;
    }
    m_logger->progress(0);

    QFile file(m_flashFolder + downloadLocalName(fileName));
    if (!openRegularFile(file)) {
        m_logger->logWithLabel(QStringLiteral("File opening error"), LogColour::Red);
        return true;
    }
    qDebug() << "File opened";
    const qint64 size = file.size();
    // A larger file would wrap the 32-bit offsets and never end.
    if (size > kMaxFileSize) {
        m_logger->logWithLabel(QStringLiteral("File is too large: ") + baseName, LogColour::Red);
        return true;
    }

    if (m_protocol->SendStartESP(devicePath, quint32(size))) {
        qDebug() << "Error on SendStartESP";
        return true;
    }
    qDebug() << "File Start sent";
    m_logger->logWithLabel(QStringLiteral("File is flashing: Updates/") + baseName,
                           LogColour::Black);
    m_logger->transferProgress(devicePath, 0, size);

    bool unreadable = false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool transferFailed = sendChunks(file, devicePath, size, hash, unreadable);
    if (unreadable)
        return true;
    m_logger->progress(100);
    file.close();
    qDebug() << "File closed";

    if (m_protocol->SendEndESP())
        return true;
    qDebug() << "File End sent";
    if (transferFailed)
        return true;

    m_transferred.append(FileDigest{devicePath, size, hash.result().toHex()});
    m_logger->logWithLabel(baseName + QStringLiteral(" file was successfully downloaded"),
                           LogColour::Green);
    return false;
}

bool FileLoader_c::sendChunks(QFile& file, const QString& devicePath, qint64 size,
                              QCryptographicHash& hash, bool& unreadable)
{
    file.seek(0);
    quint32 sent = 0;
    int lastPercent = 0;
    uint8_t chunk[kChunk];
    while (sent < size) {
        if (stopped()) {
            qDebug() << "Download stopped at" << sent;
            return true;
        }
        const qint64 got = file.read(reinterpret_cast<char*>(chunk), kChunk);
        if (got <= 0) {
            m_logger->logWithLabel(QStringLiteral("Can't read ESP firmware file"), LogColour::Red);
            unreadable = true;
            return true;
        }
        // The digest is of the bytes as read for sending, so it is of what the device got.
        hash.addData(reinterpret_cast<const char*>(chunk), int(got));
        if (m_protocol->SendWriteESP(sent, chunk, quint32(got))) {
            qDebug() << "SendWriteESP error. " << sent << " Bytes read";
            if (!stopped())
                m_logger->logWithLabel(QStringLiteral("Can't send ESP firmware file"),
                                       LogColour::Red);
            return true;
        }
        sent += quint32(got);
        reportProgress(devicePath, sent, quint64(size), lastPercent);
    }
    return false;
}

bool FileLoader_c::stopped() const
{
    return m_stop->stopped();
}

void FileLoader_c::reportProgress(const QString& name, quint64 done, quint64 total,
                                  int& lastPercent)
{
    // 64-bit, so large files do not wrap; only a changed percentage is sent, so a file costs
    // the front ends at most about a hundred updates whatever its size.
    const int percent = int(done * 100 / total);
    if (percent != lastPercent) {
        m_logger->progress(percent);
        m_logger->transferProgress(name, qint64(done), qint64(total));
    }
    lastPercent = percent;
}
