#include "flashing.h"

#include <QThread>

#include "cdc_commands.h"
#include "device_search.h"
#include "file_loader.h"
#include "logger.h"
#include "usb_cdc_protocol.h"

namespace {
QByteArray macText(const uint8_t mac[6])
{
    return QString::asprintf("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                             mac[4], mac[5])
        .toLatin1();
}
} // namespace

void Flashing_c::runProduction()
{
    // A: file list. Every device port counts as new in production, so nothing is listed before.
    QStringList downloadNames;
    QStringList jlinkNames;
    if (!beginRun(QStringLiteral("production_files.cfg"), downloadNames, jlinkNames))
        return;
    // Nothing is sent to the device before the run knows it can record what it does to it,
    // and that it has an ID to give it.
    if (m_setDeviceId && (!recordsWritable() || !stationIdsAvailable()))
        return;

    // B: device search and the ID the device holds now, which the new one must not clash with.
    // Every device port counts as new in production: there are no known ports to probe.
    if (!findDevice(Search::ProbeKnownPorts))
        return;
    m_step = "Device ID";
    quint64 currentId = 0;
    if (m_protocol->SendGetDeviceID(currentId)) {
        failRun(QStringLiteral("Getting the device ID error"), false);
        return;
    }
    m_logger->log(QStringLiteral("Device ID: ") + QString::number(currentId), LogColour::Blue);
    emit sigDeviceId(currentId, false);
    // The operator's ID is checked and noted before the download; the station's is taken, and
    // looked up, when it is written.
    if (m_setDeviceId && !m_stationIds &&
        (!idFreeFor(currentId) || !lineIdFreeFor(currentId) || !noteOperatorId(currentId)))
        return;

    // C: firmware download.
    m_step = "download";
    if (m_running.stopped())
        return;
    m_logger->log(QStringLiteral("Found ") + QString::number(downloadNames.size()) +
                      QStringLiteral(" file(s) for flashing"),
                  LogColour::Black);
    if (!download(downloadNames, m_folder))
        return;

    if (m_setDeviceId) {
        // D: Device ID, then restart so that the device comes up with the new firmware.
        if ((m_stationIds && !takeStationId(currentId)) || !writeDeviceId())
            return;
        m_step = "restart";
        restartAndRelease();
        // The device begins its restart before the search looks, so that its old port is not
        // taken for it coming back.
        QThread::msleep(50);
        m_logger->logWithLabel(QStringLiteral("Waiting for reboot and update"), LogColour::Black);
        m_logger->progress(0);
        if (!awaitOwnDevice(currentId))
            return;
        // E, F: the key and the MAC addresses, then both records together.
        QByteArray key;
        QByteArray wifi;
        QByteArray ethernet;
        if (!readPublicKey(key) || !readMacs(wifi, ethernet) ||
            !writeRecords(m_deviceId, key, wifi, ethernet))
            return;
        // The line's record of the unit: its journal line is what the station sends.
        m_record.key = key;
        m_record.wifiMac = QString::fromLatin1(wifi);
        m_record.ethernetMac = QString::fromLatin1(ethernet);
    }

    // G: success.
    restartAndRelease();
    finishRun(true);
}

bool Flashing_c::awaitOwnDevice(quint64 previousId)
{
    QString failure;
    const DeviceSearch::Return back = m_search->pollForUnit(m_deviceId, previousId, failure);
    if (back == DeviceSearch::Return::NotKept || back == DeviceSearch::Return::TimedOut)
        failRun(failure, false);
    return back == DeviceSearch::Return::Back;
}

bool Flashing_c::readPublicKey(QByteArray& keyBytes)
{
    // The zero byte is both the key buffer's start and the creation request.
    m_step = "key";
    uint8_t key[64];
    key[0] = 0;
    quint16 keyLength = sizeof key;
    m_logger->log(QStringLiteral("Creating the authentication key"), LogColour::Black);
    if (m_protocol->SendSetParameter(cdc::kKeyParameter, key, 1)) {
        failRun(QStringLiteral("Public key creating error"), true);
        return false;
    }
    m_logger->log(QStringLiteral("Getting the authentication key"), LogColour::Black);
    // An empty value means the device has no key; a record without one is worthless.
    if (m_protocol->SendGetParameter(cdc::kKeyParameter, key, keyLength) || keyLength == 0) {
        failRun(QStringLiteral("Error while the public key reading"), true);
        return false;
    }
    keyBytes = QByteArray(reinterpret_cast<const char*>(key), keyLength);
    // Said once it is read: its line is written with the MAC line, after the MACs are read.
    m_logger->logWithLabel(QStringLiteral("The public key has been read successfully"),
                           LogColour::Green);
    return true;
}

bool Flashing_c::readMacs(QByteArray& wifiText, QByteArray& ethernetText)
{
    m_step = "MACs";
    uint8_t wifi[6];
    uint8_t ethernet[6];
    if (m_protocol->SendGetMACs(wifi, ethernet)) {
        failRun(QStringLiteral("Error while MACs getting"), false);
        return false;
    }
    wifiText = macText(wifi);
    ethernetText = macText(ethernet);
    m_logger->logWithLabel(QStringLiteral("WiFi MAC: ") + QString::fromLatin1(wifiText) +
                               QStringLiteral(", Ethernet MAC: ") +
                               QString::fromLatin1(ethernetText),
                           LogColour::Green);
    return true;
}
