#include "device_search.h"

#include <QDebug>
#include <QThread>

#include "logger.h"
#include "port_claim.h"
#include "port_list.h"
#include "usb_cdc_protocol.h"

DeviceSearch::DeviceSearch(cUSB_CDC_Protocol& link, Logger_c* logger,
                           const std::atomic<bool>& running)
    : m_link(link), m_logger(logger), m_running(running)
{
}

DeviceSearch::~DeviceSearch() = default;

void DeviceSearch::listKnownPorts()
{
    listDevicePorts(m_known);
}

void DeviceSearch::forgetVanishedPorts(const QStringList& current)
{
    for (int i = m_known.size() - 1; i >= 0; --i) {
        if (!current.contains(m_known.at(i)))
            m_known.removeAt(i);
    }
}

void DeviceSearch::watchKnownPorts()
{
    if (m_known.isEmpty())
        return;
    QStringList current;
    listDevicePorts(current);
    forgetVanishedPorts(current);
}

bool DeviceSearch::probe(const QStringList& ports, bool skipBootloader, QStringList* inBootloader)
{
    // One text for the whole probe: a port answering with an empty text keeps the previous one.
    QString version;
    for (const QString& port : ports) {
        std::unique_ptr<PortClaim> claim;
        if (!claimPort(port, claim) || m_link.open(port))
            continue;
        if (m_link.SendGetVersion(version)) {
            m_link.closeIfOpen();
            continue;
        }
        if (skipBootloader && version.contains(QLatin1String("Bootloader"))) {
            m_link.closeIfOpen();
            if (inBootloader)
                inBootloader->append(port);
            continue;
        }
        keepClaim(claim);
        found(QStringLiteral("Found the device connected to "), port,
              QStringLiteral("Firmware version is"), version);
        return true;
    }
    return false;
}

void DeviceSearch::scanOnce()
{
    if (!m_searching)
        return;

    QStringList current;
    listDevicePorts(current);
    forgetVanishedPorts(current);
    QStringList fresh;
    for (const QString& port : qAsConst(current)) {
        if (!m_known.contains(port))
            fresh.append(port);
    }
    if (fresh.isEmpty())
        return;

    qDebug() << "COM ports after found something:";
    for (const QString& port : qAsConst(current))
        qDebug().noquote() << "    " + port;

    for (const QString& port : qAsConst(fresh)) {
        std::unique_ptr<PortClaim> claim;
        if (!claimPort(port, claim) || m_link.open(port))
            continue;
        QString version;
        if (m_link.SendQueryVersion(version)) {
            m_link.closeIfOpen();
            continue;
        }
        if (version.contains(QLatin1String("Bootloader"))) {
            // The device comes back with its firmware, possibly under the same name; a later
            // step finds it.
            m_link.SendLeaveBootloader();
            QThread::msleep(100);
            m_link.closeIfOpen();
            return;
        }
        keepClaim(claim);
        found(QStringLiteral("Found device connected to "), port,
              QStringLiteral("Firmware version is "), version);
        m_searching = false;
        return;
    }
}

bool DeviceSearch::find(bool listKnown, bool probeKnown, bool skipBootloader)
{
    m_logger->logWithLabel(QStringLiteral("Searching for the device's COM port"), 0);
    if (listKnown)
        listKnownPorts();
    qDebug() << "COM ports before searching:";
    for (const QString& port : qAsConst(m_known))
        qDebug().noquote() << "    " + port;
    qDebug() << "Connecting device waiting box signal result";

    if (probeKnown) {
        QStringList inBootloader;
        if (probe(m_known, skipBootloader, &inBootloader))
            return true;
        // A device waiting in its bootloader was there from the start; the polling must still
        // send it on to its firmware, or the search would wait for ever.
        for (const QString& port : qAsConst(inBootloader))
            m_known.removeAll(port);
    }
    return pollUntilFound();
}

bool DeviceSearch::pollUntilFound()
{
    m_searching = true;
    while (m_searching) {
        scanOnce();
        if (!m_running)
            return false;
        QThread::msleep(50);
    }
    return true;
}

bool DeviceSearch::claimPort(const QString& port, std::unique_ptr<PortClaim>& claim)
{
    if (m_claim && m_claim->port() == port)
        return true;
    claim = std::make_unique<PortClaim>(port);
    if (claim->take())
        return true;
    claim.reset();
    return false;
}

void DeviceSearch::keepClaim(std::unique_ptr<PortClaim>& claim)
{
    if (claim)
        m_claim = std::move(claim);
}

void DeviceSearch::found(const QString& intro, const QString& port, const QString& versionIntro,
                         const QString& version)
{
    m_foundPort = port;
    m_foundVersion = m_link.versionReported() ? version : QString();
    m_logger->logWithLabel(intro + port, 4);
    if (m_link.versionReported())
        m_logger->logWithLabel(versionIntro + version, 4);
}
