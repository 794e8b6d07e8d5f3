#include "file_loader.h"

#include <QDebug>
#include <QFile>

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

    m_logger->log(QStringLiteral("File getting is complete"), 4);
    m_lastRunSucceeded = true;
    emit sigFinish();
}

bool FileLoader_c::fetchFile(const QString& localPath, quint16 selector, const QString& fileName)
{
    if (!m_protocol->portOpen()) {
        m_logger->log(QStringLiteral("No COM ports open"), 0);
        return true;
    }
    m_logger->log(QStringLiteral("File for reading: ") + fileName, 0);

    // The received file replaces an older copy; it is never appended to.
    if (QFile::exists(localPath))
        QFile::remove(localPath);
    QFile file(localPath);
    // Unbuffered, so a full disk shows at the chunk that did not fit, not after the success line.
    if (!file.open(QIODevice::NewOnly | QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        m_logger->log(QStringLiteral("File opening error"), 1);
        return true;
    }
    qDebug() << "File is opened/created";

    quint32 size = 0;
    if (m_protocol->SendStartFileRead(selector, fileName, size)) {
        qDebug() << "Error at SendStartESP";
        file.close();
        return true;
    }
    qDebug() << "File Start sent";
    m_logger->logWithLabel(QStringLiteral("Starting the file getting"), 0);

    file.seek(0);
    quint32 remaining = size;
    quint32 offset = 0;
    int lastPercent = 0;
    bool transferFailed = false;
    uint8_t chunk[512];
    while (remaining != 0) {
        if (stopped()) {
            qDebug() << "Retrieval stopped at" << offset;
            transferFailed = true;
            break;
        }
        const quint32 n = qMin<quint32>(remaining, sizeof chunk);
        if (m_protocol->SendReadFile(offset, chunk, n)) {
            qDebug() << "SendReadFile error. " << offset << " Bytes read";
            if (!stopped())
                m_logger->log(QStringLiteral("Unable to get the data from the device"), 1);
            transferFailed = true;
            break;
        }
        if (file.write(reinterpret_cast<const char*>(chunk), n) != qint64(n)) {
            qDebug() << "Writing to the disk error. " << offset << " Bytes read";
            m_logger->log(QStringLiteral("Unable to write the data to the disk"), 1);
            transferFailed = true;
            break;
        }
        offset += n;
        remaining -= n;
        reportProgress(offset, size, lastPercent);
    }

    m_logger->progress(100);
    file.close();
    qDebug() << "File closed";

    if (m_protocol->SendEndFileRead())
        return true;
    qDebug() << "File End sent";
    if (transferFailed)
        return true;
    m_logger->log(fileName + QStringLiteral(" file was successfully received"), 4);
    return false;
}
