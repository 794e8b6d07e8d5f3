#pragma once
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

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

    // Whether the last doWork()/doGetFiles() transferred every file it was asked to.
    bool lastRunSucceeded() const { return m_lastRunSucceeded; }

signals:
    void sigFinish();

public slots:
    void doWork();
    void doGetFiles();

private:
    bool downloadFile(const QString& fileName, bool isUpdate);
    bool fetchFile(const QString& localPath, quint16 selector, const QString& fileName);
    void reportProgress(quint64 done, quint64 total, int& lastPercent);
    // The run was stopped: the transfer ends between chunks, without a red line.
    bool stopped() const;

    cUSB_CDC_Protocol* m_protocol;
    QList<FlashFileEntry> m_files;
    QString m_readFolder;
    quint16 m_readSelector = 0;
    bool m_generalAccess;
    QString m_flashFolder;
    Logger_c* m_logger;
    bool m_lastRunSucceeded = false;
};
