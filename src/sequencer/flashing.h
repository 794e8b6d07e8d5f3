#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>

class cUSB_CDC_Protocol;
class FileLoader_c;
class Logger_c;
class PortClaim;
class QThread;

// The worker of one run: production, test or re-test, executed in the worker thread.
class Flashing_c : public QObject
{
    Q_OBJECT
public:
    Flashing_c(quint64 deviceId, bool skipBootloader, const QString& folder, bool setDeviceId,
               Logger_c* logger);
    ~Flashing_c() override;

    // Called from the GUI thread: every wait loop of a run body returns when it sees this.
    void stop();

    // Run bodies
    void runProduction();
    void runTest();
    void runRetest();
    // Fetches files from the device the port probe finds, into a local folder (setFetch first).
    void runFetch();
    void setFetch(const QString& folder, quint16 selector, const QStringList& names);

    // Device search shared by the run bodies: listPortsBefore fills m_portsBefore first (re-test;
    // the test run lists them before programming), probe tries those ports before polling
    // (production, re-test). False when the run was stopped meanwhile; otherwise the caller still
    // checks that the port is open.
    bool searchDevice(bool listPortsBefore, bool probe);
    // inBootloader, when given, receives the ports passed over because they answered from the
    // bootloader.
    bool probePorts(const QStringList& ports, bool skipBootloader,
                    QStringList* inBootloader = nullptr);

    // Flash file list of the run folder; true when the whole file was read without error.
    bool readFileList(const QString& listName, QStringList& downloadNames, QStringList& jlinkNames);

    // Record files; on false they have reported, restarted the device and emitted on_flashFinish(false).
    bool writePublicKeyRecord(quint64 deviceId, const QByteArray& key);
    bool writeMacRecord(quint64 deviceId, const char* wifiMac, const char* ethernetMac);

    // nRF image through the J-Link commander; true when the commander ran and exited with 0.
    bool programNrfImage(const QString& fileName);

    cUSB_CDC_Protocol* protocol() const { return m_protocol; }
    // Test hook: how long the J-Link commander may run.
    void setCommanderTimeoutMs(int ms) { m_commanderTimeoutMs = ms; }

signals:
    void on_flashFinish(bool result);

public slots:
    void slotScanPorts();
    void slotFilesFinished();
    void slotFlasherDone();

private:
    // Polls every 50 ms while m_searching; false when the run was stopped meanwhile.
    bool pollUntilFound();
    // Drops the known ports that are gone from the listing: a port that comes back is a device
    // that restarted, so it counts as new.
    void forgetVanishedPorts(const QStringList& current);
    // False when another run holds the port, which the search then passes over like a port in
    // use. Otherwise `claim` holds it, unless this run holds it already (left empty then).
    bool claimPort(const QString& port, std::unique_ptr<PortClaim>& claim);
    // The search has accepted the port of `claim` (if any): this run holds it from now on.
    void keepClaim(std::unique_ptr<PortClaim>& claim);
    void failRun(const QString& message, bool restart);
    // The start shared by the production and test runs: reads the run's list; false when the run
    // has ended (list failed, reported) or was stopped.
    bool beginRun(const QString& listName, QStringList& downloadNames, QStringList& jlinkNames);
    // Writes m_deviceId into the device; false (after failing the run) when it was refused.
    bool writeDeviceId();
    // Restarts the device and lets go of its port.
    void restartAndRelease();
    // Ends a threaded download, if any, and deletes the download worker.
    void releaseLoader();

    std::atomic<bool> m_running{true};
    bool m_searching = false;
    bool m_downloading = false;
    quint64 m_deviceId;
    QStringList m_portsBefore;
    cUSB_CDC_Protocol* m_protocol;
    // The device's port name, held against other runs from the search's find to the worker's
    // end, across the device's restarts.
    std::unique_ptr<PortClaim> m_claim;
    QThread* m_loaderThread = nullptr;
    FileLoader_c* m_loader = nullptr;
    bool m_skipBootloader;
    QString m_folder;
    bool m_setDeviceId;
    bool m_flasherDone = false;
    Logger_c* m_logger;
    int m_commanderTimeoutMs = 30000;
    QString m_fetchFolder;
    quint16 m_fetchSelector = 0;
    QStringList m_fetchNames;
};
