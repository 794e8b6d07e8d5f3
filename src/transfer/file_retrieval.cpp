#include "file_loader.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QSaveFile>

#include "cdc_commands.h"
#include "logger.h"
#include "usb_cdc_protocol.h"

void FileLoader_c::doGetFiles()
{
    if (!m_generalAccess) {
        qDebug() << "Flashing access instance is created";
        return;
    }
    qDebug() << "Reader started";
    m_lastRunSucceeded = false;
    m_transferred.clear();

    for (int i = 0; i < m_files.size(); ++i) {
        qDebug() << "File #" << i;
        const QString fileName = m_files.at(i).fileName;
        if (fileName.isEmpty())
            break;
        if (fetchFile(m_readFolder + QStringLiteral("/") + fileName, m_readSelector, fileName)) {
            emit sigFinish();
            return;
        }
    }

    m_logger->log(QStringLiteral("File getting is complete"), LogColour::Green);
    m_lastRunSucceeded = true;
    emit sigFinish();
}

bool FileLoader_c::fetchFile(const QString& localPath, quint16 selector, const QString& fileName)
{
    if (!m_protocol->portOpen()) {
        m_logger->log(QStringLiteral("No COM ports open"), LogColour::Black);
        return true;
    }
    m_logger->log(QStringLiteral("File for reading: ") + fileName, LogColour::Black);
    // The name field holds 24 bytes with its terminating NUL; a longer name would be cut and
    // another file of the device would arrive under this name.
    if (size_t(fileName.toUtf8().size()) >= cdc::kReadNameField) {
        m_logger->log(nameTooLongMessage(fileName), LogColour::Red);
        return true;
    }

    // Received into a temporary file beside the target, which replaces an earlier copy only once
    // the whole file has arrived: a failed or stopped fetch leaves that copy as it was and no
    // partial file behind.
    QSaveFile file(localPath);
    // Unbuffered, so a full disk shows at the chunk that did not fit, not after the success line.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        m_logger->log(QStringLiteral("File opening error"), LogColour::Red);
        return true;
    }
    qDebug() << "File is opened/created";

    quint32 size = 0;
    if (m_protocol->SendStartFileRead(selector, fileName, size)) {
        qDebug() << "Error at SendStartESP";
        // No such file, or the device did not answer.
        if (!stopped())
            m_logger->log(QStringLiteral("Unable to open the file on the device: ") + fileName,
                          LogColour::Red);
        return true;
    }
    qDebug() << "File Start sent";
    m_logger->logWithLabel(QStringLiteral("Starting the file getting"), LogColour::Black);
    m_logger->transferProgress(fileName, 0, size);

    QCryptographicHash hash(QCryptographicHash::Sha256);
    const bool transferFailed = receiveChunks(file, fileName, size, hash);
    m_logger->progress(100);
    qDebug() << "File closed";

    if (m_protocol->SendEndFileRead())
        return true;
    qDebug() << "File End sent";
    if (transferFailed)
        return true;
    if (!file.commit()) {
        qDebug() << "Writing to the disk error." << file.errorString();
        m_logger->log(QStringLiteral("Unable to write the data to the disk"), LogColour::Red);
        return true;
    }
    m_transferred.append(FileDigest{fileName, qint64(size), hash.result().toHex()});
    m_logger->log(fileName + QStringLiteral(" file was successfully received"), LogColour::Green);
    return false;
}

bool FileLoader_c::receiveChunks(QSaveFile& file, const QString& fileName, quint32 size,
                                 QCryptographicHash& hash)
{
    quint32 remaining = size;
    quint32 offset = 0;
    int lastPercent = 0;
    uint8_t chunk[512];
    while (remaining != 0) {
        if (stopped()) {
            qDebug() << "Retrieval stopped at" << offset;
            return true;
        }
        const quint32 n = qMin<quint32>(remaining, sizeof chunk);
        if (m_protocol->SendReadFile(offset, chunk, n)) {
            qDebug() << "SendReadFile error. " << offset << " Bytes read";
            if (!stopped())
                m_logger->log(QStringLiteral("Unable to get the data from the device"),
                              LogColour::Red);
            return true;
        }
        if (file.write(reinterpret_cast<const char*>(chunk), n) != qint64(n)) {
            qDebug() << "Writing to the disk error. " << offset << " Bytes read";
            m_logger->log(QStringLiteral("Unable to write the data to the disk"), LogColour::Red);
            return true;
        }
        hash.addData(reinterpret_cast<const char*>(chunk), int(n));
        offset += n;
        remaining -= n;
        reportProgress(fileName, offset, size, lastPercent);
    }
    return false;
}
