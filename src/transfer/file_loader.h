#pragma once
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include "file_digest.h"
#include "stop_token.h"

class QCryptographicHash;
class QFile;
class QSaveFile;
class cUSB_CDC_Protocol;
class Logger_c;

// One file to transfer; a non-zero isUpdate puts it into the device folder "Updates/".
struct FlashFileEntry
{
    QString fileName;
    quint8 isUpdate = 0;
};

// Base names replaced before a file is opened and sent; first exact match wins.
extern const QList<QPair<QString, QString>> fileNameSubstitutions;

// The names of one download, from the name as listed (which may carry a leading path). The list
// check and the download both use them, so the file checked is the file sent.
// The local file, relative to the flash folder: the base name (after the last "/"), substituted.
QString downloadLocalName(const QString& fileName);
// Where that file goes on the device.
QString downloadDevicePath(const QString& fileName, bool isUpdate);
// Listed files whose name contains "bin" go into the device folder "Updates/".
bool goesToUpdates(const QString& listedName);
// Whether a device path fits its name field with the terminating NUL; a longer one would be cut
// and land on another file.
bool devicePathFits(const QString& devicePath);
// The red line for a name that does not fit the device's name field.
QString nameTooLongMessage(const QString& name);

// Downloads a list of files into the device's file system, or fetches files from it.
class FileLoader_c : public QObject
{
    Q_OBJECT
public:
    // Download (flashing access) instance.
    FileLoader_c(cUSB_CDC_Protocol* protocol, const QList<FlashFileEntry>& files,
                 const QString& flashFolder, Logger_c* logger);
    // Retrieval (general access) instance.
    FileLoader_c(cUSB_CDC_Protocol* protocol, const QList<FlashFileEntry>& files,
                 const QString& readFolder, quint16 readSelector, Logger_c* logger);

    // The run's stop: a transfer ends between two chunks once it is set, without a red line. The
    // token must outlive the transfer.
    void setStopToken(const StopToken& stop) { m_stop = &stop; }

    // Whether the last doWork()/doGetFiles() transferred every file it was asked to.
    bool lastRunSucceeded() const { return m_lastRunSucceeded; }
    // The files the last doWork()/doGetFiles() transferred whole, by their device path, with the
    // digest of the bytes as they were sent or received.
    const QList<FileDigest>& transferred() const { return m_transferred; }

signals:
    void sigFinish();

public slots:
    void doWork();
    void doGetFiles();

private:
    bool downloadFile(const QString& fileName, bool isUpdate);
    // Sends the file's bytes in chunks; true when a chunk failed or the run stopped, with
    // unreadable set when the local file gave out.
    bool sendChunks(QFile& file, const QString& devicePath, qint64 size, QCryptographicHash& hash,
                    bool& unreadable);
    bool fetchFile(const QString& localPath, quint16 selector, const QString& fileName);
    // Receives size bytes in chunks into the file; true when a chunk failed or the run stopped.
    bool receiveChunks(QSaveFile& file, const QString& fileName, quint32 size,
                       QCryptographicHash& hash);
    void reportProgress(const QString& name, quint64 done, quint64 total, int& lastPercent);
    // The run was stopped: the transfer ends between chunks, without a red line.
    bool stopped() const;

    cUSB_CDC_Protocol* m_protocol;
    QList<FlashFileEntry> m_files;
    QString m_readFolder;
    quint16 m_readSelector = 0;
    bool m_generalAccess;
    QString m_flashFolder;
    Logger_c* m_logger;
    const StopToken* m_stop = &StopToken::never();
    bool m_lastRunSucceeded = false;
    QList<FileDigest> m_transferred;
};
