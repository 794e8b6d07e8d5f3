#pragma once
#include <QFlags>
#include <QSet>
#include <QString>
#include <QStringList>
#include <memory>

#include "port_list.h"
#include "stop_token.h"

class Logger_c;
class PortClaim;
class cUSB_CDC_Protocol;

// How a device search starts before it polls for a port that is not known.
namespace Search {
enum Option : unsigned {
    PollOnly = 0,
    ListKnownPorts = 1,  // the device ports there now are known: not the device (re-test)
    ProbeKnownPorts = 2, // try the known ports before polling (production, re-test)
    SkipBootloader = 4,  // the probe passes over a device answering from its bootloader
};
Q_DECLARE_FLAGS(Options, Option)
} // namespace Search
Q_DECLARE_OPERATORS_FOR_FLAGS(Search::Options)

// Finds the device's port and leaves it open on the link: probes listed ports, polls every 50 ms
// for a port that is not known, sends a device in its bootloader on to its firmware, and holds
// the found port's name against other runs until it is destroyed.
class DeviceSearch
{
public:
    DeviceSearch(cUSB_CDC_Protocol& link, Logger_c* logger, const StopToken& stop);
    ~DeviceSearch();

    // Only these ports are looked at (a fixture's port, or a link to its hub port, followed at
    // every listing); none: every device port.
    void setPorts(const QStringList& only) { m_only = only; }
    // The names of the device ports this search may look at, as they are listed now.
    QStringList portNames() const;
    // How long pollForUnit waits for the unit to come back; 0: until stopped.
    void setReturnLimitMs(int ms) { m_returnLimitMs = ms; }

    // The device ports known before the search, which are not the device (test run, re-test).
    void listKnownPorts();
    void forgetKnownPorts() { m_known.clear(); }
    // Drops the known ports that are gone from the listing: a port that comes back is a device
    // that restarted, so it counts as new.
    void forgetVanishedPorts(const QStringList& current);
    // Lists the ports and forgets the vanished known ones; nothing to do without known ports.
    void watchKnownPorts();

    // Tries each port in order; true with the port left open when one answers (and not from its
    // bootloader when skipBootloader). inBootloader receives the ports passed over for that.
    bool probe(const QStringList& ports, bool skipBootloader, QStringList* inBootloader = nullptr);
    // One polling step: tries the ports that are not known; does nothing unless searching.
    void scanOnce();
    // Announces the search, lists the known ports and probes them when asked, then polls until
    // the device is found. False when the run was stopped meanwhile; the caller still checks
    // the port.
    bool find(Search::Options options);
    // Polls every 50 ms until a new port answers with its firmware; false when stopped.
    bool pollUntilFound();

    enum class Return { Back, Stopped, NotKept, TimedOut };
    // After the found device was told to restart: polls every 50 ms until that unit is back,
    // recognised by what it is, not by the first port that answers. Its own port is tried first;
    // a port with another USB serial number is another unit and is not opened; any other unit
    // must hold `id`, and one that holds another ID is passed over with one line per port and
    // ID. NotKept: a unit on its own port still holds previousId, so it did not keep `id`
    // (failure receives the red line). TimedOut: the unit was not back within the return limit
    // (failure receives the red line).
    Return pollForUnit(quint64 id, quint64 previousId, QString& failure);

    // The port the device was last found on and the version text it reported there (empty when
    // it reported none); empty until a search has found it.
    QString foundPort() const { return m_foundPort; }
    QString foundVersion() const { return m_foundVersion; }

private:
    // False when another run holds the port: it is passed over like a port in use. Otherwise
    // `claim` holds it, unless this search holds it already or no lock can be made (left empty
    // then). Both a held port and a missing lock are told once per port and search.
    bool claimPort(const QString& port, std::unique_ptr<PortClaim>& claim);
    // Opens the port on the link; a port this account may not open is told once per port and
    // search, with what to do, and passed over like any port that does not open.
    bool openPort(const QString& port);
    void tellPort(const QString& port, const QString& line);
    void keepClaim(std::unique_ptr<PortClaim>& claim);
    // The device ports this search may look at.
    QList<PortEntry> listPorts() const { return devicePortEntries(m_only); }
    // The listed ports less the known ones that are gone.
    QList<PortEntry> listAndForget();
    // The same with the unit's own port first, then its own hub port.
    QList<PortEntry> listUnitFirst();
    void listedAfterSomething(const QList<PortEntry>& current) const;
    enum class Step { Searching, Found, NotKept };
    // What a port answered when asked for its firmware version.
    enum class Answer { None, Bootloader, Firmware };
    Answer askVersion(const QString& port, std::unique_ptr<PortClaim>& claim, QString& version);
    Step scanForUnit(quint64 id, quint64 previousId, QString& failure);
    // A line the operator sees once per port and reason while the search waits.
    void tellOnce(const QString& port, const QString& what, quint64 id);
    void found(const QString& intro, const PortEntry& port, const QString& versionIntro,
               const QString& version);

    cUSB_CDC_Protocol& m_link;
    Logger_c* m_logger;
    const StopToken& m_stop;
    QStringList m_only;
    int m_returnLimitMs = 0;
    QStringList m_known;
    bool m_searching = false;
    // The device's port name, held against other runs from the find to this search's end,
    // across the device's restarts.
    std::unique_ptr<PortClaim> m_claim;
    QString m_foundPort;
    QString m_foundVersion;
    // The unit's port as listed when it was last found: its name, serial number and location.
    PortEntry m_unit;
    QSet<QString> m_told;
    // The ports whose held lock, missing lock or refused open this search has told.
    QSet<QString> m_toldPorts;
};
