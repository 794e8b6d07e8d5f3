#include "device_search.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <algorithm>

#include "logger.h"
#include "port_access.h"
#include "port_claim.h"
#include "port_list.h"
#include "usb_cdc_protocol.h"

namespace {

// The search looks at the ports again this long after a step that found nothing.
constexpr unsigned long kPollMs = 50;
// A device sent on from its bootloader is left this long before its port is closed, so that the
// command is taken before the port goes.
constexpr unsigned long kLeaveBootloaderMs = 100;

} // namespace

DeviceSearch::DeviceSearch(cUSB_CDC_Protocol& link, Logger_c* logger, const StopToken& stop)
    : m_link(link), m_logger(logger), m_stop(stop)
{}

DeviceSearch::~DeviceSearch() = default;

QStringList DeviceSearch::portNames() const
{
    QStringList names;
    for (const PortEntry& port : listPorts())
        names.append(port.name);
    return names;
}

void DeviceSearch::listKnownPorts()
{
    m_known = portNames();
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
    forgetVanishedPorts(portNames());
}

bool DeviceSearch::probe(const QStringList& ports, bool skipBootloader, QStringList* inBootloader)
{
    // One text for the whole probe: a port answering with an empty text keeps the previous one.
    QString version;
    for (const QString& port : ports) {
        std::unique_ptr<PortClaim> claim;
        if (!claimPort(port, claim) || !openPort(port))
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
        PortEntry entry;
        entry.name = port;
        for (const PortEntry& listed : listPorts()) {
            if (listed.name == port)
                entry = listed;
        }
        found(QStringLiteral("Found the device connected to "), entry,
              QStringLiteral("Firmware version is"), version);
        return true;
    }
    return false;
}

QList<PortEntry> DeviceSearch::listAndForget()
{
    const QList<PortEntry> current = listPorts();
    QStringList names;
    for (const PortEntry& port : current)
        names.append(port.name);
    forgetVanishedPorts(names);
    return current;
}

void DeviceSearch::listedAfterSomething(const QList<PortEntry>& current) const
{
    qDebug() << "COM ports after found something:";
    for (const PortEntry& port : current)
        qDebug().noquote() << "    " + port.name;
}

DeviceSearch::Answer DeviceSearch::askVersion(const QString& port,
                                              std::unique_ptr<PortClaim>& claim, QString& version)
{
    if (!claimPort(port, claim) || !openPort(port))
        return Answer::None;
    if (m_link.SendQueryVersion(version)) {
        m_link.closeIfOpen();
        return Answer::None;
    }
    if (!version.contains(QLatin1String("Bootloader")))
        return Answer::Firmware;
    // The device comes back with its firmware, possibly under the same name; a later step finds
    // it. Its answer tells nothing: the device is seen again when it comes back.
    (void)m_link.SendLeaveBootloader();
    QThread::msleep(kLeaveBootloaderMs);
    m_link.closeIfOpen();
    return Answer::Bootloader;
}

void DeviceSearch::scanOnce()
{
    if (!m_searching)
        return;

    const QList<PortEntry> current = listAndForget();
    QList<PortEntry> fresh;
    for (const PortEntry& port : current) {
        if (!m_known.contains(port.name))
            fresh.append(port);
    }
    if (fresh.isEmpty())
        return;
    listedAfterSomething(current);

    for (const PortEntry& entry : qAsConst(fresh)) {
        const QString& port = entry.name;
        std::unique_ptr<PortClaim> claim;
        QString version;
        const Answer answer = askVersion(port, claim, version);
        if (answer == Answer::None)
            continue;
        if (answer == Answer::Bootloader)
            return;
        keepClaim(claim);
        found(QStringLiteral("Found device connected to "), entry,
              QStringLiteral("Firmware version is "), version);
        m_searching = false;
        return;
    }
}

namespace {

// The unit's own port: the same USB serial number where both are known, else the same port name
// or the same hub port.
bool samePlace(const PortEntry& unit, const PortEntry& port)
{
    if (!unit.serialNumber.isEmpty() && !port.serialNumber.isEmpty())
        return unit.serialNumber == port.serialNumber;
    return port.name == unit.name || (!unit.location.isEmpty() && port.location == unit.location);
}

} // namespace

DeviceSearch::Return DeviceSearch::pollForUnit(quint64 id, quint64 previousId, QString& failure)
{
    m_told.clear();
    m_toldPorts.clear();
    QElapsedTimer away;
    away.start();
    for (;;) {
        const Step step = scanForUnit(id, previousId, failure);
        if (m_stop.stopped())
            return Return::Stopped;
        switch (step) {
        case Step::Found:
            return Return::Back;
        case Step::NotKept:
            return Return::NotKept;
        case Step::Searching:
            break;
        }
        if (m_returnLimitMs > 0 && away.elapsed() >= m_returnLimitMs) {
            failure = QStringLiteral("The device did not come back within ") +
                      QString::number(m_returnLimitMs / 1000.0) +
                      QStringLiteral(" s of its restart");
            return Return::TimedOut;
        }
        QThread::msleep(kPollMs);
    }
}

QList<PortEntry> DeviceSearch::listUnitFirst()
{
    QList<PortEntry> current = listAndForget();
    const auto rank = [this](const PortEntry& port) {
        if (port.name == m_unit.name)
            return 0;
        return !m_unit.location.isEmpty() && port.location == m_unit.location ? 1 : 2;
    };
    std::stable_sort(current.begin(), current.end(),
                     [&](const PortEntry& a, const PortEntry& b) { return rank(a) < rank(b); });
    return current;
}

DeviceSearch::Step DeviceSearch::scanForUnit(quint64 id, quint64 previousId, QString& failure)
{
    // Ports that proved to be other units are known until they go away.
    const QList<PortEntry> current = listUnitFirst();
    bool listed = false;
    for (const PortEntry& entry : qAsConst(current)) {
        const QString& port = entry.name;
        if (m_known.contains(port))
            continue;
        if (!listed)
            listedAfterSomething(current);
        listed = true;
        if (!m_unit.serialNumber.isEmpty() && !entry.serialNumber.isEmpty() &&
            entry.serialNumber != m_unit.serialNumber) {
            m_known.append(port);
            tellOnce(port,
                     QStringLiteral(" is another device (USB serial number ") + entry.serialNumber +
                         QLatin1Char(')'),
                     id);
            continue;
        }
        std::unique_ptr<PortClaim> claim;
        QString version;
        const Answer answer = askVersion(port, claim, version);
        if (answer == Answer::None)
            continue;
        if (answer == Answer::Bootloader)
            return Step::Searching;
        quint64 held = 0;
        const bool unread = m_link.SendGetDeviceID(held);
        if (!unread && held == id) {
            keepClaim(claim);
            found(QStringLiteral("Found device connected to "), entry,
                  QStringLiteral("Firmware version is "), version);
            return Step::Found;
        }
        m_link.closeIfOpen();
        if (unread)
            continue;
        if (held == previousId && samePlace(m_unit, entry)) {
            failure = QStringLiteral("The device on ") + port +
                      QStringLiteral(" still holds Device ID ") + QString::number(held) +
                      QStringLiteral(": it did not keep Device ID ") + QString::number(id);
            return Step::NotKept;
        }
        m_known.append(port);
        tellOnce(port, QStringLiteral(" holds Device ID ") + QString::number(held), id);
    }
    return Step::Searching;
}

void DeviceSearch::tellOnce(const QString& port, const QString& what, quint64 id)
{
    if (m_told.contains(port + what))
        return;
    m_told.insert(port + what);
    m_logger->log(QStringLiteral("The device on ") + port + what +
                      QStringLiteral(": waiting for the device with Device ID ") +
                      QString::number(id),
                  LogColour::Black);
}

bool DeviceSearch::find(Search::Options options)
{
    m_toldPorts.clear();
    m_logger->logWithLabel(QStringLiteral("Searching for the device's COM port"), LogColour::Black);
    if (options & Search::ListKnownPorts)
        listKnownPorts();
    qDebug() << "COM ports before searching:";
    for (const QString& port : qAsConst(m_known))
        qDebug().noquote() << "    " + port;
    qDebug() << "Connecting device waiting box signal result";

    if (options & Search::ProbeKnownPorts) {
        QStringList inBootloader;
        if (probe(m_known, options & Search::SkipBootloader, &inBootloader))
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
        if (m_stop.stopped())
            return false;
        QThread::msleep(kPollMs);
    }
    return true;
}

bool DeviceSearch::claimPort(const QString& port, std::unique_ptr<PortClaim>& claim)
{
    if (m_claim && m_claim->port() == port)
        return true;
    claim = std::make_unique<PortClaim>(port);
    switch (claim->take()) {
    case PortClaim::Take::Taken:
        return true;
    case PortClaim::Take::NoLock:
        tellPort(port, QStringLiteral("The port ") + port +
                           QStringLiteral(" is not held against other runs: its lock file ") +
                           QDir::toNativeSeparators(claim->lockPath()) +
                           QStringLiteral(" cannot be made (veltora-cli doctor checks the lock "
                                          "folder)"));
        claim.reset();
        return true;
    case PortClaim::Take::Held:
        break;
    }
    tellPort(port, QStringLiteral("The port ") + port +
                       QStringLiteral(" is held by another run on this PC: passed over"));
    claim.reset();
    return false;
}

bool DeviceSearch::openPort(const QString& port)
{
    if (!m_link.open(port))
        return true;
    // The advice reads the group database: only for a port not told yet.
    if (m_link.openFailure() == SerialLine::OpenFailure::AccessDenied &&
        !m_toldPorts.contains(port))
        tellPort(port, accessDeniedLine(port, portAccess(port), accountName()));
    return false;
}

void DeviceSearch::tellPort(const QString& port, const QString& line)
{
    if (m_toldPorts.contains(port))
        return;
    m_toldPorts.insert(port);
    m_logger->log(line, LogColour::Black);
}

void DeviceSearch::keepClaim(std::unique_ptr<PortClaim>& claim)
{
    if (claim)
        m_claim = std::move(claim);
}

void DeviceSearch::found(const QString& intro, const PortEntry& port, const QString& versionIntro,
                         const QString& version)
{
    m_unit = port;
    m_foundPort = port.name;
    m_foundVersion = m_link.versionReported() ? version : QString();
    m_logger->logWithLabel(intro + port.name, LogColour::Green);
    if (m_link.versionReported())
        m_logger->logWithLabel(versionIntro + version, LogColour::Green);
}
