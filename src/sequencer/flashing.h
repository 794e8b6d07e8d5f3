#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

#include "device_search.h"
#include "run_host.h"
#include "run_record.h"
#include "stop_token.h"

struct DeviceIdHistory;
class FileLoader_c;
class Logger_c;
class cUSB_CDC_Protocol;

// The worker of one run: production, test, re-test or fetch, executed in the worker thread. Its
// run bodies sequence the steps; the device search, the record files, the station layout and
// the J-Link commander are types of their own.
class Flashing_c : public QObject
{
    Q_OBJECT
public:
    Flashing_c(quint64 deviceId, bool skipBootloader, const QString& folder, bool setDeviceId,
               Logger_c* logger);
    ~Flashing_c() override;

    // Called from the GUI thread: every wait of a run body returns when it sees this.
    void stop();

    // Run bodies
    void runProduction();
    void runTest();
    void runRetest();
    // Fetches files from the device the port probe finds, into a local folder (setFetch first).
    void runFetch();
    void setFetch(const QString& folder, quint16 selector, const QStringList& names);

    // Device search shared by the run bodies, as the options start it; the probe skips the
    // bootloader as the run was told to. False when the run was stopped meanwhile; otherwise the
    // caller still checks that the port is open.
    bool searchDevice(Search::Options options);
    // inBootloader, when given, receives the ports passed over because they answered from the
    // bootloader.
    bool probePorts(const QStringList& ports, bool skipBootloader,
                    QStringList* inBootloader = nullptr);

    // Flash file list of the run folder; true when the whole file was read without error.
    bool readFileList(const QString& listName, QStringList& downloadNames, QStringList& jlinkNames);

    // The device's public key line and MAC line, both or neither; on false it has reported,
    // restarted the device and emitted on_flashFinish(false).
    bool writeRecords(quint64 deviceId, const QByteArray& key, const QByteArray& wifiMac,
                      const QByteArray& ethernetMac);

    // nRF image through the J-Link commander; true when the commander ran, exited with 0 and
    // printed no failure line.
    bool programNrfImage(const QString& fileName);

    cUSB_CDC_Protocol* protocol() const { return m_protocol; }
    // What the run did, for its journal line; taken once its thread has ended.
    RunRecord takeRecord();
    // Test hook: how long the J-Link commander may run.
    void setCommanderTimeoutMs(int ms) { m_commanderTimeoutMs = ms; }
    // The J-Link probe to program through, by its serial number; empty: the only one attached.
    void setJLinkSerial(const QString& serial) { m_jlinkSerial = serial; }
    // Only these ports are searched; none: every device port.
    void setPorts(const QStringList& ports) { m_search->setPorts(ports); }
    // How long the unit may be away in a restart the run waits for; 0: until stopped.
    void setUnitReturnLimitMs(int ms) { m_search->setReturnLimitMs(ms); }
    // Production takes its Device ID from the station's allocator, from firstId the first time.
    void setStationIds(quint64 firstId)
    {
        m_stationIds = true;
        m_firstId = firstId;
    }

    // On a line: the station's IDs come from the line's blocks, and the operator's ID is asked
    // about there too.
    void setLineIds(IdBlockSource* blocks, quint64 blockSize)
    {
        m_idBlocks = blocks;
        m_blockSize = blockSize;
    }
    void setLineLookup(const LineUnitLookup& lookup) { m_lineUnit = lookup; }

signals:
    void on_flashFinish(bool result);
    // The ID the unit holds: read when found (written false), then the one written into it.
    void sigDeviceId(quint64 id, bool written);

public slots:
    // One polling step of the device search, as the worker's slot. The run bodies poll through
    // DeviceSearch, which takes the same step, so nothing calls it now.
    void slotScanPorts();

private:
    // Ends the run with its result: notes it for the journal and emits on_flashFinish.
    void finishRun(bool success);
    // Reports the red line, restarts the device when asked and ends the run with failure;
    // silent once the run is stopped.
    void failRun(const QString& message, bool restart);
    // searchDevice(), then the port check; false when the run has ended (stopped, or failed
    // with "Error while port opening").
    bool findDevice(Search::Options options);
    // The start shared by the production and test runs: reads the run's list; false when the run
    // has ended (list failed, reported) or was stopped.
    bool beginRun(const QString& listName, QStringList& downloadNames, QStringList& jlinkNames);
    // Downloads the listed files from the run folder; false (after failing the run) when a file
    // did not arrive, or when the run was stopped.
    bool download(const QStringList& names, const QString& listedFolder);
    // Before anything is sent to the device: the record files and the journal can take their
    // lines. False (after failing the run with the path) when one cannot.
    bool recordsWritable();
    // Whether m_deviceId may go into the device that holds `held`, by the journal: not when
    // another device was given it. A device produced under another ID is re-identified openly.
    // False when the run has ended.
    // What the journal says of `id` and `held`; false, after the run's red line, when it cannot
    // be read.
    bool readHistory(quint64 id, quint64 held, DeviceIdHistory& history);
    bool idFreeFor(quint64 held);
    // Whether the line has the operator's m_deviceId in another unit than the one holding `held`;
    // false (after failing the run) when it has. A line that cannot be asked is said in a line.
    bool lineIdFreeFor(quint64 held);
    // Whether the station's allocator can give this run an ID, before the unit is touched;
    // false (after failing the run) when it cannot. True for the operator's ID.
    bool stationIdsAvailable();
    // Notes the operator's m_deviceId as taken in the station's allocator, so that no station
    // run hands it out; false (after failing the run) when the state cannot be written, or when
    // another run that has not ended took it for a unit that does not hold it (`held`).
    bool noteOperatorId(quint64 held);
    // Sets m_deviceId from the station's allocator: a unit that a run of the station wrote its
    // ID (`held`) into and that did not pass keeps it (a re-run after a failure); any other gets
    // the next free one. False (after failing the run) when there is none.
    bool takeStationId(quint64 held);
    // Writes m_deviceId into the device; false (after failing the run) when it was refused or
    // the device answered with another ID.
    bool writeDeviceId();
    // After the restart: waits for this run's own device to come back holding m_deviceId; false
    // when the run has ended (stopped, or failed because it did not keep the ID).
    bool awaitOwnDevice(quint64 previousId);
    // Has the device create its key and reads it; false when the run has ended.
    bool readPublicKey(QByteArray& key);
    // Reads the MAC addresses and shows them; false when the run has ended.
    bool readMacs(QByteArray& wifiText, QByteArray& ethernetText);
    // Restarts the device and lets go of its port.
    void restartAndRelease();

    // The run's go-on flag: stop() sets it, every wait of the run sees it.
    StopToken m_running;
    quint64 m_deviceId;
    cUSB_CDC_Protocol* m_protocol;
    std::unique_ptr<DeviceSearch> m_search;
    FileLoader_c* m_loader = nullptr;
    bool m_skipBootloader;
    QString m_folder;
    bool m_setDeviceId;
    bool m_stationIds = false;
    quint64 m_firstId = 0;
    IdBlockSource* m_idBlocks = nullptr;
    quint64 m_blockSize = 0;
    LineUnitLookup m_lineUnit;
    Logger_c* m_logger;
    int m_commanderTimeoutMs = 30000;
    QString m_jlinkSerial;
    QString m_fetchFolder;
    quint16 m_fetchSelector = 0;
    QStringList m_fetchNames;
    RunRecord m_record;
    // The step the run is in, named for the journal when the run fails there.
    const char* m_step = nullptr;
};
