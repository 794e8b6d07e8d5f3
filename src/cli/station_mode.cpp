#include "station_mode.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "command_line.h"
#include "device_id_allocator.h"
#include "line_commands.h"
#include "line_sender.h"
#include "logger.h"
#include "port_claim.h"
#include "port_list.h"
#include "run_host.h"
#include "session.h"
#include "station.h"
#include "station_output.h"
#include "stop_signals.h"
#include "usb_cdc_protocol.h"

namespace cli {

namespace {

// How often the ports are listed for units that came or went.
constexpr int kScanMs = 100;
// How often the table is redrawn while nothing else changes it.
constexpr qint64 kDrawMs = 250;
// A unit that came back without its ID saying who it is is asked again this much later.
constexpr qint64 kAskAgainMs = 1000;
// The longest the station waits for a unit's answer when it asks which ID it holds.
constexpr uint32_t kAskLimitMs = 1000;

// The ID the unit on the port holds, as it answers now; none when it does not answer (or another
// run holds the port). Runs in a thread of its own: it waits for the unit.
std::optional<quint64> askDeviceId(const QString& port)
{
    PortClaim claim(port);
    if (claim.take() == PortClaim::Take::Held)
        return std::nullopt;
    cUSB_CDC_Protocol link;
    link.setTimeoutLimitMs(kAskLimitMs);
    if (link.open(port))
        return std::nullopt;
    quint64 id = 0;
    const bool unanswered = link.SendGetDeviceID(id);
    link.closeIfOpen();
    return unanswered ? std::nullopt : std::optional<quint64>(id);
}

// The question which ID a unit holds, in a thread of its own; its end waits for the answer.
class Question : public QThread
{
public:
    explicit Question(const QString& port) : m_port(port) { start(); }
    ~Question() override
    {
        wait();
        // Reads the flag the thread set last, so the end of its work comes before this one.
        (void)ready();
    }
    // The answer is read only once it is ready.
    bool ready() const { return m_ready.load(std::memory_order_acquire); }
    std::optional<quint64> answer() const { return m_answer; }

private:
    void run() override
    {
        m_answer = askDeviceId(m_port);
        m_ready.store(true, std::memory_order_release);
    }

    const QString m_port;
    std::optional<quint64> m_answer;
    std::atomic<bool> m_ready{false};
};

// One production run in a thread of its own.
struct Run
{
    QThread thread;
    Logger_c logger;
    RunHost host{thread, logger};
    QElapsedTimer since;
    QElapsedTimer fileSince;
    std::optional<quint64> foundId; // what the unit held when the run found it
    bool reported = false;          // the run body reported its end
    bool passed = false;
};

// Ends a run (RunHost::end() joins its thread and writes its journal line), then deletes its
// thread, logger and host. The sanitizer does not see that join inside Qt: fuzz/sanitizers/
// tsan.supp names this function, which is kept to these two lines for that reason.
void endAndDeleteRun(std::unique_ptr<Run>& run)
{
    run->host.end();
    run.reset();
}

// A place where a unit is: its port as the runs are told it, the unit there and its run.
struct Place
{
    QString key;
    PortEntry unit; // the unit's port as listed when it was first seen there
    QString port;   // its name in the last listing
    bool listed = true;
    QElapsedTimer away; // since the port left the listing
    UnitView view;
    std::unique_ptr<Run> run;
    QString lastRun;
    // After a run: the ID the unit holds, whether it left since, and whether what came back has
    // been told to be the same unit.
    std::optional<quint64> heldId;
    bool wentAway = false;
    bool confirmed = false;
    std::unique_ptr<Question> asked;
    QElapsedTimer askAgain;

    bool finished() const
    {
        return !run && view.state != UnitView::State::Waiting &&
               view.state != UnitView::State::Running;
    }
};

class Station : public QObject
{
public:
    Station(const Options& o, const LineSettings& line)
        : m_options(o), m_line(line), m_output(o.json, stdoutStyle())
    {
        if (!m_line.enabled())
            return;
        // On a line the IDs come from its blocks, topped up by the sender's thread between runs.
        m_blocks = std::make_unique<LineIdBlocks>(m_line);
        m_ids = std::make_unique<DeviceIdAllocator>(stationDir());
        m_ids->setBlockSource(m_blocks.get(), quint64(m_line.blockSize));
        m_sender = std::make_unique<LineSenderThread>(stationDir(), m_line);
        m_sender->setAllocator(m_ids.get());
        m_sender->start();
    }

    int exec()
    {
        watchStopSignals();
        m_clock.start();
        connect(&m_tick, &QTimer::timeout, this, &Station::tick);
        m_tick.start(kScanMs);
        tick();
        if (!m_done)
            m_loop.exec();
        m_tick.stop();
        restoreStopSignals();
        // What the sender has not sent yet goes now, bounded by the server's time-out.
        m_sender.reset();
        const QString waits = sendAfterRun(stationDir(), m_line, QByteArray());
        if (!waits.isEmpty())
            std::fprintf(stderr,
                         "veltora-cli: the line database could not be reached: journal entries "
                         "not sent yet: %lld\n",
                         static_cast<long long>(LineSender::pendingEntries(stationDir())));
        const bool stopped = m_stopping;
        const StationFigures figures = this->figures();
        m_output.summary(figures, stopped          ? Verdict::Stopped
                                  : figures.failed ? Verdict::Fail
                                                   : Verdict::Pass);
        return stopped ? ExitInterrupted : figures.failed ? ExitRunFailed : ExitSuccess;
    }

private:
    void tick()
    {
        if (takeStopSignal())
            stop(QStringLiteral("interrupted"));
        if (!m_output.open())
            stop(QStringLiteral("standard output closed"));
        if (m_stopping) {
            endEveryRun();
            finish();
            return;
        }
        reap();
        scan();
        startWaitingUnits();
        if (m_options.count > 0 && m_finished >= m_options.count && running() == 0) {
            finish();
            return;
        }
        if (m_output.mode() == StationOutput::Mode::Table &&
            (m_dirty || !m_drawn.isValid() || m_drawn.elapsed() >= kDrawMs))
            draw();
    }

    void finish()
    {
        m_done = true;
        m_loop.quit();
    }

    void stop(const QString& reason)
    {
        if (m_stopping)
            return;
        m_stopping = true;
        m_output.hideTable();
        std::fprintf(stderr, "veltora-cli: %s, stopping every run\n", qUtf8Printable(reason));
        for (const auto& place : m_places) {
            if (place->run)
                place->run->host.stop(QStringLiteral("stop"));
        }
    }

    // Each stopped run ends as a stopped run does: its body returns at its next check, and its
    // journal line is written. A run that completed meanwhile still counts with its result.
    void endEveryRun()
    {
        for (const auto& place : m_places) {
            if (place->run)
                place->run->host.join();
        }
        QCoreApplication::sendPostedEvents();
        for (const auto& place : m_places) {
            if (place->run)
                endRun(*place);
        }
    }

    int running() const
    {
        int n = 0;
        for (const auto& place : m_places)
            n += place->run ? 1 : 0;
        return n;
    }

    StationFigures figures() const
    {
        StationFigures f = m_figures;
        f.running = running();
        f.elapsedMs = m_clock.elapsed();
        return f;
    }

    void reap()
    {
        for (const auto& place : m_places) {
            if (place->run && place->run->reported)
                endRun(*place);
        }
    }

    // Ends the place's run (its journal line is written here) and shows how it ended.
    void endRun(Place& place)
    {
        const Run& run = *place.run;
        UnitView& view = place.view;
        view.elapsedMs = run.since.elapsed();
        view.transferring = false;
        view.state = !run.reported ? UnitView::State::Stopped
                     : run.passed  ? UnitView::State::Passed
                                   : UnitView::State::Failed;
        if (run.reported)
            count(place, run);
        place.lastRun = run.host.runId();
        endAndDeleteRun(place.run);
        if (m_sender)
            m_sender->wake();
        // What is at the place now is told once to be the unit: it may have been pulled while
        // its run waited for it, and another plugged in there.
        place.wentAway = true;
        place.confirmed = false;
        m_output.finished(view, place.lastRun);
        m_dirty = true;
    }

    // The figures of a finished run. A unit is known again by its USB serial number, or by an ID
    // this station gave it; any other run is its unit's first.
    void count(const Place& place, const Run& run)
    {
        ++m_finished;
        ++(run.passed ? m_figures.passed : m_figures.failed);
        const QString serial = place.unit.serialNumber;
        QString known;
        if (!serial.isEmpty())
            known = QStringLiteral("serial ") + serial;
        else if (run.foundId && m_given.contains(*run.foundId))
            known = QStringLiteral("id ") + QString::number(*run.foundId);
        if (known.isEmpty() || !m_seen.contains(known)) {
            ++m_figures.firstRuns;
            m_figures.firstPassed += run.passed ? 1 : 0;
        }
        if (!serial.isEmpty())
            m_seen.insert(QStringLiteral("serial ") + serial);
        if (place.view.deviceId) {
            m_given.insert(*place.view.deviceId);
            m_seen.insert(QStringLiteral("id ") + QString::number(*place.view.deviceId));
        }
    }

    // Where the runs are told to look for the unit: the name given with --port, else one that
    // stays with the port's place across restarts.
    QString keyFor(const PortEntry& port, const QString& asked)
    {
        if (!m_options.ports.isEmpty())
            return asked;
        auto it = m_keys.constFind(port.name);
        if (it == m_keys.cend())
            it = m_keys.insert(port.name, stablePortName(port.name));
        return *it;
    }

    Place* placeOf(const QString& key)
    {
        for (const auto& place : m_places) {
            if (place->key == key)
                return place.get();
        }
        return nullptr;
    }

    void scan()
    {
        QStringList asked;
        const QList<PortEntry> ports = devicePortEntries(m_options.ports, &asked);
        QSet<Place*> seen;
        QHash<QString, QString> keys;
        for (int i = 0; i < ports.size(); ++i) {
            const PortEntry& port = ports.at(i);
            const QString key = keyFor(port, asked.at(i));
            keys.insert(port.name, key);
            Place* place = placeOf(key);
            if (!place) {
                auto at = std::upper_bound(
                    m_places.begin(), m_places.end(), key,
                    [](const QString& k, const std::unique_ptr<Place>& p) { return k < p->key; });
                place = m_places.insert(at, std::make_unique<Place>())->get();
                place->key = key;
                newUnit(*place, port);
            }
            seen.insert(place);
            place->port = port.name;
            if (!place->listed) {
                place->listed = true;
                place->away.invalidate();
            }
            if (place->finished())
                checkFinishedUnit(*place, port);
        }
        m_keys = keys;
        const qint64 pulledMs = qint64(m_options.restartWaitSeconds) * 1000;
        for (auto it = m_places.begin(); it != m_places.end();) {
            Place& place = **it;
            if (!seen.contains(&place) && place.listed) {
                place.listed = false;
                place.away.start();
                place.wentAway = true;
                place.confirmed = false;
            }
            // A unit that never ran is gone with its port; one that finished once it stayed
            // away longer than a restart takes.
            const bool gone =
                !place.listed && !place.run &&
                (place.view.state == UnitView::State::Waiting || place.away.elapsed() > pulledMs);
            // An answer still on its way is waited for: the place's end would wait for it.
            if (gone && place.asked && place.asked->ready())
                place.asked.reset();
            if (gone && !place.asked) {
                it = m_places.erase(it);
                m_dirty = true;
            } else {
                ++it;
            }
        }
    }

    void newUnit(Place& place, const PortEntry& port)
    {
        place.unit = port;
        place.view = UnitView();
        place.view.port = place.key;
        place.heldId.reset();
        place.wentAway = false;
        place.confirmed = false;
        m_dirty = true;
    }

    // A unit that finished stays finished while it is plugged in, also when it restarts: what
    // comes back to its place is the same unit when its USB serial number says so, or else when
    // it holds the same Device ID. Anything else is a new unit.
    void checkFinishedUnit(Place& place, const PortEntry& port)
    {
        if (!place.wentAway || place.confirmed)
            return;
        if (!place.unit.serialNumber.isEmpty() && !port.serialNumber.isEmpty()) {
            if (port.serialNumber == place.unit.serialNumber)
                place.confirmed = true;
            else
                newUnit(place, port);
            return;
        }
        // A unit whose ID the run never learnt cannot be told from another: it stays.
        if (!place.heldId) {
            place.confirmed = true;
            return;
        }
        if (place.asked) {
            if (!place.asked->ready())
                return;
            const std::optional<quint64> held = place.asked->answer();
            place.asked.reset();
            if (!held)
                place.askAgain.start();
            else if (*held == *place.heldId)
                place.confirmed = true;
            else
                newUnit(place, port);
            return;
        }
        if (!place.askAgain.isValid() || place.askAgain.elapsed() >= kAskAgainMs)
            place.asked = std::make_unique<Question>(port.name);
    }

    void startWaitingUnits()
    {
        for (const auto& place : m_places) {
            if (place->view.state != UnitView::State::Waiting || !place->listed || place->run)
                continue;
            const int busy = running();
            if (busy >= m_options.slotCount ||
                (m_options.count > 0 && m_finished + busy >= m_options.count))
                return;
            // A port another run holds (another process's, say) is left to it.
            {
                PortClaim claim(place->port);
                if (claim.take() == PortClaim::Take::Held)
                    continue;
            }
            start(*place);
        }
    }

    void start(Place& place)
    {
        place.run = std::make_unique<Run>();
        Run& run = *place.run;
        Place* p = &place;
        connect(&run.host, &RunHost::sigLine, this,
                [this, p](const QString& text, LogColour colour, bool label) {
                    // The table shows the run's latest line, the events only its steps.
                    UnitView& view = p->view;
                    view.transferring = false;
                    view.step = text;
                    if (colour == LogColour::Red)
                        view.error = text;
                    m_output.line(p->key, text, colour, label);
                });
        connect(&run.host, &RunHost::sigTransferProgress, this,
                [this, p](const QString& name, qint64 done, qint64 total) {
                    UnitView& view = p->view;
                    if (done == 0 || !view.transferring || view.fileName != name)
                        p->run->fileSince.start();
                    view.transferring = true;
                    view.fileName = name;
                    view.done = done;
                    view.total = total;
                    m_output.progress(p->key, name, done, total);
                });
        connect(&run.host, &RunHost::sigDeviceId, this, [p](quint64 id, bool written) {
            if (!written && !p->run->foundId)
                p->run->foundId = id;
            if (written)
                p->view.deviceId = id;
            p->heldId = id;
        });
        connect(&run.host, &RunHost::sigFinished, this, [p](bool success) {
            p->run->reported = true;
            p->run->passed = success;
        });

        RunSettings s;
        s.kind = RunSettings::Kind::Production;
        s.setDeviceId = true;
        s.skipBootloader = m_options.skipBootloader;
        s.ports = QStringList{place.key};
        s.stationIds = true;
        s.firstId = m_options.firstId;
        s.station = m_line.station;
        s.idBlocks = m_blocks.get();
        s.blockSize = quint64(m_line.blockSize);
        s.unitReturnLimitMs = m_options.restartWaitSeconds * 1000;
        place.view = UnitView();
        place.view.port = place.key;
        place.view.state = UnitView::State::Running;
        place.heldId.reset();
        run.since.start();
        run.host.start(s);
        m_output.started(place.key, run.host.runId());
        m_dirty = true;
    }

    void draw()
    {
        QList<UnitView> views;
        for (const auto& place : m_places) {
            UnitView view = place->view;
            if (place->run) {
                view.elapsedMs = place->run->since.elapsed();
                view.fileNs =
                    place->run->fileSince.isValid() ? place->run->fileSince.nsecsElapsed() : 0;
            }
            views << view;
        }
        m_output.draw(views, figures());
        m_drawn.start();
        m_dirty = false;
    }

    const Options& m_options;
    const LineSettings m_line;
    std::unique_ptr<LineIdBlocks> m_blocks;
    std::unique_ptr<DeviceIdAllocator> m_ids;
    std::unique_ptr<LineSenderThread> m_sender;
    StationOutput m_output;
    std::vector<std::unique_ptr<Place>> m_places;
    // The key of every port name listed last time, so the links are looked up once per unit.
    QHash<QString, QString> m_keys;
    StationFigures m_figures;
    int m_finished = 0;
    QSet<quint64> m_given;
    QSet<QString> m_seen;
    QElapsedTimer m_clock;
    QElapsedTimer m_drawn;
    QTimer m_tick;
    QEventLoop m_loop;
    bool m_dirty = true;
    bool m_stopping = false;
    bool m_done = false;
};

} // namespace

int runStation(const Options& o)
{
    if (!useStationDir(o))
        return ExitUsage;
    LineSettings line;
    if (!lineSettings(o, stationDir(), line))
        return ExitUsage;
    Station station(o, line);
    return station.exec();
}

} // namespace cli
