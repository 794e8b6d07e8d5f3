#include "flashing.h"

#include <QDebug>
#include <QThread>

#include "logger.h"
#include "port_claim.h"
#include "port_list.h"
#include "usb_cdc_protocol.h"

bool Flashing_c::probePorts(const QStringList& ports, bool skipBootloader,
                            QStringList* inBootloader)
{
    if (ports.isEmpty())
        return false;

    // One text for the whole probe: a port answering with an empty text keeps the previous one.
    QString version;
    for (const QString& port : ports) {
        std::unique_ptr<PortClaim> claim;
        if (!claimPort(port, claim) || m_protocol->open(port))
            continue;
        if (m_protocol->SendGetVersion(version)) {
            m_protocol->closeIfOpen();
            continue;
        }
        if (skipBootloader && version.contains(QLatin1String("Bootloader"))) {
            m_protocol->closeIfOpen();
            if (inBootloader)
                inBootloader->append(port);
            continue;
        }
        keepClaim(claim);
        m_logger->logWithLabel(QStringLiteral("Found the device connected to ") + port, 4);
        if (m_protocol->versionReported())
            m_logger->logWithLabel(QStringLiteral("Firmware version is") + version, 4);
        return true;
    }
    return false;
}

void Flashing_c::slotScanPorts()
{
    if (!m_searching)
        return;

    QStringList current;
    listDevicePorts(current);
    forgetVanishedPorts(current);
    QStringList fresh;
    for (const QString& port : qAsConst(current)) {
        if (!m_portsBefore.contains(port))
            fresh.append(port);
    }
    if (fresh.isEmpty())
        return;

    qDebug() << "COM ports after found something:";
    for (const QString& port : qAsConst(current))
        qDebug().noquote() << "    " + port;

    for (const QString& port : qAsConst(fresh)) {
        std::unique_ptr<PortClaim> claim;
        if (!claimPort(port, claim) || m_protocol->open(port))
            continue;
        QString version;
        if (m_protocol->SendQueryVersion(version)) {
            m_protocol->closeIfOpen();
            continue;
        }
        if (version.contains(QLatin1String("Bootloader"))) {
            // The device comes back with its firmware, possibly under the same name; a later
            // step finds it.
            m_protocol->SendLeaveBootloader();
            QThread::msleep(100);
            m_protocol->closeIfOpen();
            return;
        }
        keepClaim(claim);
        m_logger->logWithLabel(QStringLiteral("Found device connected to ") + port, 4);
        if (m_protocol->versionReported())
            m_logger->logWithLabel(QStringLiteral("Firmware version is ") + version, 4);
        m_searching = false;
        return;
    }
}

bool Flashing_c::searchDevice(bool listPortsBefore, bool probe)
{
    m_logger->logWithLabel(QStringLiteral("Searching for the device's COM port"), 0);
    if (listPortsBefore)
        listDevicePorts(m_portsBefore);

    qDebug() << "COM ports before searching:";
    for (const QString& port : qAsConst(m_portsBefore))
        qDebug().noquote() << "    " + port;
    qDebug() << "Connecting device waiting box signal result";

    m_searching = true;
    if (probe) {
        QStringList inBootloader;
        if (probePorts(m_portsBefore, m_skipBootloader, &inBootloader))
            return true;
        // A device waiting in its bootloader was there from the start; the polling must still
        // send it on to its firmware, or the search would wait for ever.
        for (const QString& port : qAsConst(inBootloader))
            m_portsBefore.removeAll(port);
    }
    return pollUntilFound();
}

void Flashing_c::forgetVanishedPorts(const QStringList& current)
{
    for (int i = m_portsBefore.size() - 1; i >= 0; --i) {
        if (!current.contains(m_portsBefore.at(i)))
            m_portsBefore.removeAt(i);
    }
}

bool Flashing_c::claimPort(const QString& port, std::unique_ptr<PortClaim>& claim)
{
    if (m_claim && m_claim->port() == port)
        return true;
    claim = std::make_unique<PortClaim>(port);
    if (claim->take())
        return true;
    claim.reset();
    return false;
}

void Flashing_c::keepClaim(std::unique_ptr<PortClaim>& claim)
{
    if (claim)
        m_claim = std::move(claim);
}

bool Flashing_c::pollUntilFound()
{
    while (m_searching) {
        slotScanPorts();
        if (!m_running)
            return false;
        QThread::msleep(50);
    }
    return true;
}
