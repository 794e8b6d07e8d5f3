#include "flashing.h"

#include <QDebug>
#include <QDir>
#include <QThread>
#include <optional>

#include "device_id_allocator.h"
#include "device_id_history.h"
#include "device_search.h"
#include "file_digest.h"
#include "file_loader.h"
#include "jlink_commander.h"
#include "logger.h"
#include "records.h"
#include "station.h"
#include "usb_cdc_protocol.h"

Flashing_c::Flashing_c(quint64 deviceId, bool skipBootloader, const QString& folder,
                       bool setDeviceId, Logger_c* logger)
    : QObject(nullptr),
      m_deviceId(deviceId),
      m_protocol(new cUSB_CDC_Protocol()),
      m_search(std::make_unique<DeviceSearch>(*m_protocol, logger, m_running)),
      m_skipBootloader(skipBootloader),
      m_folder(folder),
      m_setDeviceId(setDeviceId),
      m_logger(logger)
{
    m_protocol->setStopToken(m_running);
}

Flashing_c::~Flashing_c()
{
    m_protocol->closeIfOpen();
    delete m_loader;
    // Only after its port is closed may another run take the device.
    m_search.reset();
    delete m_protocol;
}

void Flashing_c::stop()
{
    m_running.stop();
}

bool Flashing_c::searchDevice(Search::Options options)
{
    options.setFlag(Search::SkipBootloader, m_skipBootloader);
    return m_search->find(options);
}

bool Flashing_c::findDevice(Search::Options options)
{
    m_step = "device search";
    if (!searchDevice(options) || m_running.stopped())
        return false;
    if (!m_protocol->portOpen()) {
        failRun(QStringLiteral("Error while port opening"), false);
        return false;
    }
    return true;
}

bool Flashing_c::probePorts(const QStringList& ports, bool skipBootloader,
                            QStringList* inBootloader)
{
    return m_search->probe(ports, skipBootloader, inBootloader);
}

void Flashing_c::slotScanPorts()
{
    m_search->scanOnce();
}

RunRecord Flashing_c::takeRecord()
{
    m_record.port = m_search->foundPort();
    m_record.firmware = m_search->foundVersion();
    return std::move(m_record);
}

void Flashing_c::finishRun(bool success)
{
    m_record.result = success ? RunRecord::Result::Success : RunRecord::Result::Failed;
    m_record.step = success ? QString() : QLatin1String(m_step);
    emit on_flashFinish(success);
}

void Flashing_c::failRun(const QString& message, bool restart)
{
    // A stopped run ends silently: what failed was cut short by the stop, not by the device.
    if (m_running.stopped())
        return;
    m_logger->logWithLabel(message, LogColour::Red);
    // The run has failed already; a device that does not restart changes nothing of that.
    if (restart)
        (void)m_protocol->SendReboot();
    finishRun(false);
}

bool Flashing_c::recordsWritable()
{
    m_step = "records";
    const StationLayout layout(m_folder);
    QString failure = RecordFiles(layout.publicKeysFile(), layout.macFile()).blocker();
    if (failure.isEmpty()) {
        // The journal is the station's record of which IDs went into devices; its folder is
        // made when missing, as its writer does.
        QDir().mkpath(StationLayout::logsFolder());
        const QString why = RecordFiles::whyNotAppendable(StationLayout::journalFile());
        if (!why.isEmpty())
            failure = QStringLiteral("Run journal writing error: ") + why;
    }
    if (failure.isEmpty())
        return true;
    failRun(failure, false);
    return false;
}

bool Flashing_c::lineIdFreeFor(quint64 held)
{
    if (!m_lineUnit || held == m_deviceId)
        return true;
    const LineUnitAnswer line = m_lineUnit(m_deviceId);
    if (!line.asked) {
        m_logger->log(QStringLiteral("The line database could not be asked about Device ID ") +
                          QString::number(m_deviceId) +
                          QStringLiteral(": only this station's journal was checked"),
                      LogColour::Black);
        return true;
    }
    if (!line.produced)
        return true;
    failRun(QStringLiteral("Device ID ") + QString::number(m_deviceId) +
                QStringLiteral(" was already given to a device on the line: station ") +
                line.station + QStringLiteral(", run ") + line.run + QStringLiteral(" (ended ") +
                line.time + QLatin1Char(')'),
            false);
    return false;
}

bool Flashing_c::readHistory(quint64 id, quint64 held, DeviceIdHistory& history)
{
    const QString journal = StationLayout::journalFile();
    if (readDeviceIdHistory(journal, id, held, history))
        return true;
    failRun(QStringLiteral("Run journal reading error: ") + QDir::cleanPath(journal), false);
    return false;
}

bool Flashing_c::idFreeFor(quint64 held)
{
    // A device that holds its ID already (a re-run after a failure) goes on as before.
    if (held == m_deviceId)
        return true;
    DeviceIdHistory history;
    if (!readHistory(m_deviceId, held, history))
        return false;
    if (history.given) {
        failRun(QStringLiteral("Device ID ") + QString::number(m_deviceId) +
                    QStringLiteral(" was already given to a device in run ") + history.givenRun +
                    QStringLiteral(" (started ") + history.givenStart + QLatin1Char(')'),
                false);
        return false;
    }
    if (history.heldProduced) {
        m_record.previousDeviceId = held;
        m_logger->log(QStringLiteral("Re-identifying the device: it was produced with Device ID ") +
                          QString::number(held) + QStringLiteral(" and gets Device ID ") +
                          QString::number(m_deviceId),
                      LogColour::Black);
    }
    return true;
}

namespace {

QString stationIdsFile()
{
    return QDir::cleanPath(DeviceIdAllocator::stateFile(stationDir()));
}

// The one place a run's allocator is made: the station folder's, with the first ID it was given,
// or on a line the line's blocks.
DeviceIdAllocator stationAllocator(std::optional<quint64> firstId, IdBlockSource* blocks = nullptr,
                                   quint64 blockSize = 0)
{
    DeviceIdAllocator ids(stationDir());
    if (blocks)
        ids.setBlockSource(blocks, blockSize);
    else if (firstId)
        ids.setFirstId(*firstId);
    return ids;
}

// A failure of the station's allocator, as the run's red line.
QString allocatorFailure(DeviceIdAllocator::Result result)
{
    return result == DeviceIdAllocator::Result::NotPersisted
               ? QStringLiteral("Device ID allocator error: ") + stationIdsFile() +
                     QStringLiteral(" cannot be written")
               : QStringLiteral("No Device ID can be had from ") + stationIdsFile();
}

} // namespace

bool Flashing_c::stationIdsAvailable()
{
    if (!m_stationIds || stationAllocator(m_firstId, m_idBlocks, m_blockSize).available())
        return true;
    m_step = "Device ID";
    failRun(m_idBlocks ? QStringLiteral("No Device ID left in the station's blocks, and the line "
                                        "database gives no new block now")
                       : QStringLiteral("No Device ID can be had from ") + stationIdsFile(),
            false);
    return false;
}

bool Flashing_c::noteOperatorId(quint64 held)
{
    m_step = "Device ID";
    bool wasTaken = false;
    const DeviceIdAllocator::Result result =
        stationAllocator(std::nullopt).note(m_deviceId, wasTaken);
    if (result != DeviceIdAllocator::Result::Ok) {
        failRun(allocatorFailure(result), false);
        return false;
    }
    if (!wasTaken || held == m_deviceId)
        return true;
    // Taken, and no run that has ended was to write it: another run is writing it now (or
    // died doing so), into another unit.
    DeviceIdHistory history;
    if (!readHistory(m_deviceId, held, history))
        return false;
    if (history.asked)
        return true;
    failRun(QStringLiteral("Device ID ") + QString::number(m_deviceId) +
                QStringLiteral(" is taken by another run of this station that has not ended"),
            false);
    return false;
}

bool Flashing_c::takeStationId(quint64 held)
{
    m_step = "Device ID";
    // Only the journal tells which unit an ID went into: an ID a run has not recorded yet (or
    // never will, killed) may be in another unit that came with the same number, and one a
    // production run passed with is that unit's.
    DeviceIdHistory history;
    if (!readHistory(held, held, history))
        return false;
    const bool rerun = history.given && !history.heldProduced;
    quint64 id = 0;
    DeviceIdAllocator ids = stationAllocator(m_firstId, m_idBlocks, m_blockSize);
    const DeviceIdAllocator::Result result =
        rerun ? ids.keepOrAllocate(held, id) : ids.allocate(id);
    if (result != DeviceIdAllocator::Result::Ok) {
        failRun(allocatorFailure(result), false);
        return false;
    }
    m_deviceId = id;
    m_record.deviceIdAsked = true;
    m_record.deviceId = id;
    m_logger->log(rerun && id == held
                      ? QStringLiteral("The device keeps Device ID ") + QString::number(id) +
                            QStringLiteral(", written into it by an earlier run of this station")
                      : QStringLiteral("Taking Device ID ") + QString::number(id) +
                            QStringLiteral(" from the station"),
                  LogColour::Black);
    return idFreeFor(held);
}

bool Flashing_c::writeDeviceId()
{
    m_step = "Device ID";
    quint64 echoed = m_deviceId;
    if (m_protocol->SendSetDeviceID(echoed)) {
        failRun(QStringLiteral("Error while the Device ID writing"), false);
        return false;
    }
    // A device that answers with another ID has not taken this one: records under it would name
    // a device that does not carry it.
    if (echoed != m_deviceId) {
        failRun(QStringLiteral("The device answered the Device ID writing with ") +
                    QString::number(echoed) + QStringLiteral(" instead of ") +
                    QString::number(m_deviceId),
                false);
        return false;
    }
    m_record.deviceIdWritten = true;
    emit sigDeviceId(m_deviceId, true);
    m_logger->logWithLabel(QStringLiteral("The Device ID has been written successfully"),
                           LogColour::Green);
    return true;
}

void Flashing_c::restartAndRelease()
{
    // A device that does not answer the restart is still let go; the next search finds out
    // where it is.
    (void)m_protocol->SendReboot();
    // Closing aborts what is still on its way: the restart's bytes get time to leave first.
    QThread::msleep(10);
    m_protocol->closeIfOpen();
}

bool Flashing_c::beginRun(const QString& listName, QStringList& downloadNames,
                          QStringList& jlinkNames)
{
    // Nothing is listed here: the test run lists its ports before programming.
    m_search->forgetKnownPorts();
    m_step = "file list";
    m_logger->logWithLabel(QStringLiteral("Applying the default file list"), LogColour::Black);
    if (!readFileList(listName, downloadNames, jlinkNames)) {
        failRun(QStringLiteral("Error while getting the files list"), false);
        return false;
    }
    return !m_running.stopped();
}

bool Flashing_c::download(const QStringList& names, const QString& listedFolder)
{
    QList<FlashFileEntry> files;
    for (const QString& name : names)
        files.append(FlashFileEntry{listedFolder + name, quint8(goesToUpdates(name) ? 1 : 0)});
    m_logger->progress(0);
    delete m_loader;
    m_loader = new FileLoader_c(m_protocol, files, StationLayout(m_folder).runFolder(), m_logger);
    m_loader->setStopToken(m_running);
    qDebug() << "Flasher configured";
    m_loader->doWork();
    m_record.files += m_loader->transferred();
    // A run stopped during the download writes nothing more into the device, and a device with
    // missing or partial files must not get an ID, a key or records.
    if (m_running.stopped())
        return false;
    if (!m_loader->lastRunSucceeded()) {
        failRun(QStringLiteral("Firmware download error"), true);
        return false;
    }
    return true;
}

bool Flashing_c::writeRecords(quint64 deviceId, const QByteArray& key, const QByteArray& wifiMac,
                              const QByteArray& ethernetMac)
{
    m_step = "records";
    const StationLayout layout(m_folder);
    const QString failure = RecordFiles(layout.publicKeysFile(), layout.macFile())
                                .append(deviceId, key, wifiMac, ethernetMac);
    if (!failure.isEmpty()) {
        failRun(failure, true);
        return false;
    }
    return true;
}

bool Flashing_c::programNrfImage(const QString& fileName)
{
    const StationLayout layout(m_folder);
    JLinkCommander commander(layout.commanderScript(), layout.commanderProgram(),
                             layout.commanderFolder(), m_running);
    commander.setTimeoutMs(m_commanderTimeoutMs);
    commander.setProbeSerial(m_jlinkSerial);
    // What the commander says goes to the day log only; the operator sees its failure line.
    commander.setOutputHandler([this](const QString& line) { m_logger->trace(line); });
    // The device may restart during programming: a known port that goes away meanwhile must
    // count as new when it comes back.
    const QString failure = commander.program(fileName, layout.runFile(fileName),
                                              [this] { m_search->watchKnownPorts(); });
    m_record.images.append({fileName, sha256OfFile(layout.runFile(fileName)), commander.exitCode(),
                            commander.failureLine()});
    if (failure.isEmpty())
        return true;
    if (!m_running.stopped()) {
        m_logger->logWithLabel(failure, LogColour::Red);
        if (!commander.failureLine().isEmpty())
            m_logger->log(commander.failureLine(), LogColour::Black);
    }
    return false;
}
